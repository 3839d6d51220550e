// What the page costs, side by side in one run, on this machine:
//   - from a setting changed in the page to the new look on screen (the
//     preview's still at 640x360): median and worst of 20 changes;
//   - page load: from navigation to the songs listed and the first preview shown;
//   - the server's CPU while idle with the page open: over 10 s;
//   - what rendering from a project file adds over the same options on the
//     command line: median wall time of 5 renders each, interleaved.
//
//   node bench/page.mjs      (bench/page.sh builds first and runs this)
import fs from 'node:fs';
import path from 'node:path';
import { spawnSync } from 'node:child_process';
import { folder, makeSong, startServer, launch, waitFor, studio } from '../tests/browser/harness.mjs';

const median = (v) => v.slice().sort((a, b) => a - b)[Math.floor((v.length - 1) / 2)];
const ticks = Number(spawnSync('getconf', ['CLK_TCK']).stdout) || 100;

function cpuSeconds(pid) {
  const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return (Number(fields[11]) + Number(fields[12])) / ticks;  // utime, stime
}

async function shown(page, after) {
  return waitFor(() => page.$eval('#preview', (img, seen) => {
    const n = Number(img.dataset.shown || 0);
    return n > seen && img.complete && img.naturalWidth > 0 ? n : 0;
  }, after), 60, 'the preview');
}

const where = folder();
makeSong(where, 'song.flac', 60);
const server = await startServer(where);
const { browser, page } = await launch();

const loadStart = performance.now();
await page.goto(server.address);
await page.waitForSelector('::-p-text(song.flac)');
let seen = await shown(page, 0);
const load = performance.now() - loadStart;
await (await page.waitForSelector('::-p-aria([name="bars"][role="radio"])')).click();
seen = await shown(page, seen);

const changes = [];
for (let i = 0; i < 20; i++) {
  const colour = i % 2 ? '#ff2020' : '#20ff20';
  const start = performance.now();
  await page.$eval('#set-lowColour', (input, c) => {
    input.value = c;
    input.dispatchEvent(new Event('input', { bubbles: true }));
  }, colour);
  seen = await shown(page, seen);
  changes.push(performance.now() - start);
  // Let the estimate the change started end, as a person looking would.
  await new Promise((r) => setTimeout(r, 300));
}
await waitFor(() => page.$eval('#estimate', (p) => /real time/.test(p.textContent)), 60, 'the estimate');
await new Promise((r) => setTimeout(r, 3000));
const before = cpuSeconds(server.child.pid);
await new Promise((r) => setTimeout(r, 10000));
const idle = cpuSeconds(server.child.pid) - before;
await browser.close();
await server.stop();

// Project file against the same options on the command line.
const options = ['--picture', 'bars', '--set', 'lowColour=#ff2020', '--for', 'preview', '--to', '20'];
const made = spawnSync(studio, ['render', 'song.flac', 'cli.mp4', ...options, '--save-project', 'p.vrax.json', '-q', '--overwrite'], { cwd: where });
if (made.status !== 0) throw new Error(String(made.stderr));
const cli = [];
const project = [];
for (let i = 0; i < 5; i++) {
  for (const [list, args] of [[cli, ['render', 'song.flac', 'cli.mp4', ...options]], [project, ['render', 'p.vrax.json', 'p.mp4']]]) {
    const start = performance.now();
    const run = spawnSync(studio, [...args, '-q', '--overwrite'], { cwd: where });
    if (run.status !== 0) throw new Error(String(run.stderr));
    list.push(performance.now() - start);
  }
}
fs.rmSync(where, { recursive: true, force: true });

console.log(`setting changed -> new look on screen (640x360, ${changes.length} changes): median ${median(changes).toFixed(0)} ms, worst ${Math.max(...changes).toFixed(0)} ms`);
console.log(`page load to songs listed and first preview shown: ${load.toFixed(0)} ms`);
console.log(`server CPU while idle with the page open: ${(idle * 1000).toFixed(0)} ms over 10 s (${(idle / 10 * 100).toFixed(2)}% of a core)`);
console.log(`20 s at 640x360, median of 5: command line ${median(cli).toFixed(0)} ms, project file ${median(project).toFixed(0)} ms ` +
  `(adds ${(median(project) - median(cli)).toFixed(0)} ms, ratio ${(median(project) / median(cli)).toFixed(3)})`);
