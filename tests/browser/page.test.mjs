// The studio's page in a real browser, against a server this test starts:
//   node page.test.mjs flow      choose, preview, tune, render, follow the link
//   node page.test.mjs jobs      a killed job, Cancel, a restarted server's queue
//   node page.test.mjs refusals  what the server must refuse, over plain HTTP
import fs from 'node:fs';
import path from 'node:path';
import { spawnSync } from 'node:child_process';
import net from 'node:net';
import {
  check, fail, folder, makeSong, waitFor, startServer, request, launch, imageMeans, imageRgb, frameOf, probe, studio,
} from './harness.mjs';

const aria = (name, role) => `::-p-aria([name="${name}"][role="${role}"])`;

async function shownPreview(page, after) {
  return waitFor(() => page.$eval('#preview', (img, seen) => {
    const shown = Number(img.dataset.shown || 0);
    return shown > seen && img.complete && img.naturalWidth > 0 && !img.hasAttribute('aria-busy') ? shown : 0;
  }, after), 30, 'the preview to change');
}

async function setControl(page, name, value) {
  const control = await page.waitForSelector(`#set-${name}`);
  await control.evaluate((input, v) => {
    input.value = v;
    input.dispatchEvent(new Event('input', { bubbles: true }));
  }, value);
}

async function flow() {
  const where = folder();
  makeSong(where, 'tone.flac', 10);
  const server = await startServer(where);
  const { browser, page, errors } = await launch();
  await page.goto(server.address);
  // The song by its name, shown with its tags and length.
  const song = await page.waitForSelector('::-p-text(tone.flac)');
  const label = await song.evaluate((n) => n.closest('label').textContent);
  check(/Page Suite – Test Tone/.test(label) && /0:10/.test(label), `the song's tags and length: "${label}"`);
  await song.click();
  let seen = await shownPreview(page, 0);
  const ring = await imageMeans(page, '#preview');

  // The controls' help is render's own, as its --help prints it.
  const help = String(spawnSync(studio, ['render', '--help']).stdout);
  for (const id of ['fade-in', 'crossfade', 'title-plate', 'level']) {
    const tip = await page.$eval(`#${id}`, (c) => c.title);
    const line = help.split('\n').find((l) => l.trimStart().startsWith(`--${id} `)) || '';
    check(tip.length > 20 && line.endsWith(tip), `#${id}'s help is --${id}'s: "${tip}" vs "${line}"`);
  }

  // A picture by its name: the preview changes.
  await (await page.waitForSelector(aria('bars', 'radio'))).click();
  seen = await shownPreview(page, seen);
  const bars = await imageMeans(page, '#preview');
  const moved = ring.reduce((sum, v, i) => sum + Math.abs(v - bars[i]), 0);
  check(moved > 3, `choosing bars changed the preview (ring ${ring} vs bars ${bars})`);

  // A colour through its labelled control: the preview turns red.
  const labelled = await page.$eval('#set-lowColour', (input) => input.labels[0].textContent + ':' + input.type);
  check(labelled === 'lowColour:color', `lowColour is a colour picker labelled by its name (${labelled})`);
  await setControl(page, 'lowColour', '#ff0000');
  await setControl(page, 'highColour', '#ff0000');
  await setControl(page, 'glowColour', '#ff0000');
  seen = await shownPreview(page, seen);
  const red = await imageMeans(page, '#preview');
  check(red[0] > bars[0] + 2 && red[0] > red[1] + 2 && red[0] > red[2] + 2,
    `red colours made the preview redder (before ${bars}, after ${red})`);

  // The Preview preset; the preview at 5 s, to hold against the video.
  await (await page.waitForSelector(aria('Preview', 'button'))).click();
  await page.$eval('#seek', (input) => {
    input.value = '5';
    input.dispatchEvent(new Event('input', { bubbles: true }));
  });
  seen = await shownPreview(page, seen);
  const previewed = await imageRgb(page, '#preview');
  // A few seconds from there, with their sound, in the page's player.
  await (await page.waitForSelector(aria('Play a few seconds', 'button'))).click();
  const clip = await waitFor(() => page.$eval('#clip', (v) => (v.readyState >= 1 && v.duration > 0
    ? { duration: v.duration, hidden: v.hidden, src: v.getAttribute('src') } : null)), 60, 'the clip to load');
  check(!clip.hidden && Math.abs(clip.duration - 4) < 0.3, `the clip plays four seconds (${JSON.stringify(clip)})`);
  const clipFile = await request(server.port, { pathname: `${clip.src.split('?')[0]}?token=${server.token}` });
  const clipPath = path.join(where, 'clip-fetched.mp4');
  fs.writeFileSync(clipPath, clipFile.body);
  check(probe(clipPath).streams.some((st) => st.codec_type === 'audio'), 'the clip has its sound');

  // Render, and a bar that moves.
  // Before it starts, how long it takes here, and which size keeps up.
  const estimate = await waitFor(() => page.$eval('#estimate', (p) => p.textContent), 60, 'the estimate');
  await waitFor(async () => /about .+ on this machine for 300 frames at 640x360 \(\d+\.\d\dx real time\)/.test(
    await page.$eval('#estimate', (p) => p.textContent)), 60, `the estimate for the preview size (${estimate})`);
  await (await page.waitForSelector(aria('Render', 'button'))).click();
  const shares = new Set();
  const output = await waitFor(async () => {
    const job = await page.$eval('#jobs li', (li) => ({
      state: li.dataset.state, value: li.querySelector('progress').value, max: li.querySelector('progress').max,
      link: li.querySelector('a') && li.querySelector('a').textContent,
    })).catch(() => null);
    if (job) shares.add(job.value / job.max);
    if (job && job.state === 'failed') fail(`the render failed: ${await page.$eval('#jobs li', (li) => li.textContent)}`);
    return job && job.state === 'done' ? job.link : null;
  }, 120, 'the render to finish');
  check([...shares].some((s) => s > 0 && s < 1), `the progress bar moved through the render (saw ${[...shares]})`);

  // The link is the video's file name; it plays what the project renders.
  const href = await page.$eval(aria(output, 'link'), (a) => a.getAttribute('href'));
  const fetched = await request(server.port, { pathname: `${href}?token=${server.token}` });
  check(fetched.status === 200, `the link answers (${fetched.status})`);
  const video = path.join(where, 'fetched.mp4');
  fs.writeFileSync(video, fetched.body);
  const probed = probe(video);
  const picture = probed.streams.find((s) => s.codec_type === 'video');
  check(picture.width === 640 && picture.height === 360, `the Preview preset's size: ${picture.width}x${picture.height}`);
  check(probed.streams.some((s) => s.codec_type === 'audio'), 'the video has its sound');
  check(Math.abs(Number(probed.format.duration) - 10) < 0.2, `the video lasts the song: ${probed.format.duration}`);
  check(await page.$(`#jobs video`) !== null, 'a player for the finished video');

  // What the preview showed is what the render made: 5 s is frame 150.
  const framed = frameOf(video, 150, 640, 360);
  let off = 0;
  for (let i = 0; i < framed.length; i++) off += Math.abs(framed[i] - previewed[i]);
  check(off / framed.length <= 3, `the preview at 5 s and the video's frame there differ by ${off / framed.length}/255`);

  const project = path.join(where, output.replace(/\.mp4$/, '.vrax.json'));
  check(fs.existsSync(project), `the project file beside the video: ${project}`);
  const again = path.join(where, 'again.mp4');
  const ran = spawnSync(studio, ['render', project, again, '-q'], { cwd: '/' });
  check(ran.status === 0, `render of the project file: ${ran.stderr}`);
  for (const index of [30, 150]) {
    const a = frameOf(video, index, 640, 360);
    const b = frameOf(again, index, 640, 360);
    let sum = 0;
    for (let i = 0; i < a.length; i++) sum += Math.abs(a[i] - b[i]);
    check(sum / a.length <= 2, `frame ${index}: the page's render and the project's differ by ${sum / a.length}/255`);
  }
  // The project, opened again in a fresh page, brings back its choices.
  await page.goto(server.address);
  await page.waitForSelector('::-p-text(tone.flac)');
  const projectName = path.basename(project);
  await waitFor(() => page.$eval('#project-list', (list, n) => [...list.options].some((o) => o.value === n), projectName),
    20, 'the project in the list');
  await page.$eval('#project-list', (list, n) => {
    list.value = n;
    list.dispatchEvent(new Event('change', { bubbles: true }));
  }, projectName);
  await waitFor(() => page.$eval('#set-lowColour', (input) => input.value === '#ff0000').catch(() => false), 20,
    'the opened project\'s colour');
  check(await page.$eval(aria('bars', 'radio'), (input) => input.checked), 'the opened project\'s picture is chosen');
  check(await page.$eval('#shape', (select) => select.value) === '640x360', 'the opened project\'s size');

  check(errors.length === 0, errors.join('\n'));
  await browser.close();
  const end = await server.stop();
  check(end.code === 130, `an interrupted server leaves with 130 (got ${end.code})`);
}


async function jobState(page, name) {
  return page.$$eval('#jobs li', (items, n) => {
    const item = items.find((li) => li.querySelector('strong').textContent === n);
    return item ? { state: item.dataset.state, text: item.textContent } : null;
  }, name);
}

function leftovers(where, stem) {
  return fs.readdirSync(where).filter((f) => f.includes(stem) && !f.endsWith('.vrax.json'));
}

async function renderNamed(page, name) {
  await page.$eval('#name', (input, n) => { input.value = n; }, name);
  await (await page.waitForSelector(aria('Render', 'button'))).click();
}

async function jobs() {
  const where = folder();
  makeSong(where, 'long.flac', 120);
  let server = await startServer(where);
  const first = await launch();
  let page = first.page;
  await page.goto(server.address);
  await (await page.waitForSelector('::-p-text(long.flac)')).click();

  // A job killed from outside fails alone, says so, and leaves nothing half-made.
  await renderNamed(page, 'killed');
  const pid = await waitFor(() => {
    const found = spawnSync('pgrep', ['-f', 'render killed.vrax.json']);
    return found.status === 0 ? Number(String(found.stdout).trim().split('\n')[0]) : 0;
  }, 30, 'the render child to start');
  await waitFor(async () => (await jobState(page, 'killed.mp4') || {}).state === 'running', 30, 'the job running');
  process.kill(pid, 'SIGKILL');
  const killed = await waitFor(async () => {
    const job = await jobState(page, 'killed.mp4');
    return job && job.state === 'failed' ? job : null;
  }, 30, 'the page to say the job failed');
  check(/SIGKILL/.test(killed.text), `the page says how the job ended: ${killed.text}`);
  check(leftovers(where, 'killed').length === 0, `a killed job left ${leftovers(where, 'killed')}`);

  // Cancel, by its accessible name: nothing left either.
  await renderNamed(page, 'cancelled');
  await waitFor(async () => (await jobState(page, 'cancelled.mp4') || {}).state === 'running', 30, 'the second job running');
  await (await page.waitForSelector(aria('Cancel cancelled.mp4', 'button'))).click();
  await waitFor(async () => (await jobState(page, 'cancelled.mp4') || {}).state === 'cancelled', 30, 'the job cancelled');
  await waitFor(() => leftovers(where, 'cancelled').length === 0, 10, `nothing left of a cancelled job`);

  // The server still serves: a short render after them finishes.
  await page.$eval('#name', (input) => { input.value = 'kept'; });
  await (await page.waitForSelector(aria('Preview', 'button'))).click();
  await page.$eval('#fps', (select) => { select.value = '25'; });
  await renderNamed(page, 'kept');
  await waitFor(async () => {
    const job = await jobState(page, 'kept.mp4');
    if (job && job.state === 'failed') fail(job.text);
    return job && job.state === 'done';
  }, 240, 'the job after them to finish');
  check(first.errors.length === 0, first.errors.join('\n'));
  await first.browser.close();

  // A restarted server shows the same queue.
  const end = await server.stop();
  check(end.code === 130, `the server left with ${end.code}`);
  server = await startServer(where);
  const second = await launch();
  page = second.page;
  await page.goto(server.address);
  await waitFor(async () => (await jobState(page, 'kept.mp4') || {}).state === 'done', 20, 'the finished job listed again');
  check(await page.$(aria('kept.mp4', 'link')) !== null, 'its link is there again');
  check((await jobState(page, 'killed.mp4') || {}).state === 'failed', 'the killed job is listed failed');
  check(second.errors.length === 0, second.errors.join('\n'));
  await second.browser.close();
  await server.stop();
}

async function refusals() {
  const where = folder();
  makeSong(where, 'tone.flac', 3);
  const outside = folder();
  fs.writeFileSync(path.join(outside, 'secret.txt'), 'not for the page');
  fs.symlinkSync(path.join(outside, 'secret.txt'), path.join(where, 'out.txt'));
  fs.symlinkSync(outside, path.join(where, 'away'));
  fs.symlinkSync(path.join(where, 'tone.flac'), path.join(where, 'inside.flac'));
  // --open hands the address to the desktop's opener, as one argument.
  const bin = folder();
  fs.writeFileSync(path.join(bin, 'xdg-open'), `#!/bin/sh\nprintf '%s\\n' "$@" > "${bin}/opened"\n`, { mode: 0o755 });
  const server = await startServer(where, ['--open'], { PATH: `${bin}:${process.env.PATH}` });
  const { port, token } = server;
  // Read once the opener has written its whole line, not when the file is made.
  const opened = path.join(bin, 'opened');
  await waitFor(() => fs.existsSync(opened) && fs.readFileSync(opened, 'utf8').endsWith('\n'), 10, 'xdg-open to be called');
  check(fs.readFileSync(path.join(bin, 'opened'), 'utf8') === `${server.address}\n`, '--open opens the printed address');
  const withToken = { Cookie: `vrax_token=${token}` };
  const table = [
    // [what, request, statuses allowed]
    ['no token', { pathname: '/' }, [401]],
    ['a wrong token', { pathname: '/?token=0123456789abcdef0123456789abcdef' }, [401]],
    ['a token but another Host', { pathname: `/?token=${token}`, headers: { Host: `evil.example:${port}` } }, [403]],
    ['another port in Host', { pathname: `/?token=${token}`, headers: { Host: `127.0.0.1:${port + 1}` } }, [403]],
    ['.. out of the folder', { pathname: '/files/../../etc/passwd', headers: withToken }, [403, 404]],
    ['.. encoded', { pathname: '/files/%2e%2e/%2e%2e/etc/passwd', headers: withToken }, [403, 404]],
    ['a link out of the folder', { pathname: '/files/out.txt', headers: withToken }, [403]],
    ['a folder link out', { pathname: '/files/away/secret.txt', headers: withToken }, [403]],
    ['the hidden state file', { pathname: '/files/.vrax-studio-jobs.json', headers: withToken }, [403]],
    ['an upload named out of the folder', { method: 'POST', pathname: '/api/upload?name=..%2Fevil.wav', headers: withToken, body: 'x' }, [409]],
    ['an upload over a song', { method: 'POST', pathname: '/api/upload?name=tone.flac', headers: withToken, body: 'x' }, [409]],
    ['an upload that is no song', { method: 'POST', pathname: '/api/upload?name=run.sh', headers: withToken, body: 'x' }, [409]],
    ['a project with an unknown option', { method: 'POST', pathname: '/api/render', headers: withToken,
      body: JSON.stringify({ project: { 'vrax-project': 1, songs: ['tone.flac'], options: { nonsense: 1 } } }) }, [422]],
    ['a project with a song out of the folder', { method: 'POST', pathname: '/api/render', headers: withToken,
      body: JSON.stringify({ project: { 'vrax-project': 1, songs: ['../x.flac'], options: {} } }) }, [422]],
    ['a project with a file option out of the folder', { method: 'POST', pathname: '/api/still', headers: withToken,
      body: JSON.stringify({ project: { 'vrax-project': 1, songs: ['tone.flac'], options: { image: '/etc/passwd' } } }) }, [422]],
    ['a body that is not JSON', { method: 'POST', pathname: '/api/render', headers: withToken, body: '{' }, [400]],
    ['a project with a value its option refuses', { method: 'POST', pathname: '/api/render', headers: withToken,
      body: JSON.stringify({ project: { 'vrax-project': 1, songs: ['tone.flac'], options: { crf: 99 } } }) }, [422]],
  ];
  for (const [what, req, statuses] of table) {
    const got = await request(port, req);
    check(statuses.includes(got.status), `${what}: status ${got.status}, want ${statuses}`);
    check(!String(got.body).includes('not for the page'), `${what}: the outside file was served`);
  }
  // In the command line's words, before any render is queued.
  const refused = await request(port, { method: 'POST', pathname: '/api/render', headers: withToken,
    body: JSON.stringify({ project: { 'vrax-project': 1, songs: ['tone.flac'], options: { 'title-size': 3 } } }) });
  check(String(refused.body).includes('--title-size must be from 0.5 to 2.5'), `a refused value's words: ${refused.body}`);
  const queued = await request(port, { pathname: '/api/jobs', headers: withToken });
  check(JSON.parse(String(queued.body)).length === 0, `a refused project queued a render: ${queued.body}`);
  const song = fs.readFileSync(path.join(where, 'tone.flac'));
  check(fs.readFileSync(path.join(where, 'tone.flac')).equals(song), 'a refused upload left the song as it was');
  check(!fs.existsSync(path.join(outside, '..', 'evil.wav')), 'nothing was written out of the folder');
  const inside = await request(port, { pathname: '/files/inside.flac', headers: withToken });
  check(inside.status === 200 && inside.body.equals(song), 'a link within the folder is served');

  // An upload declaring more than the limit is refused before it is read.
  const huge = await request(port, { method: 'POST', pathname: '/api/upload?name=huge.wav', headers: withToken,
    body: 'RIFF', declaredLength: String(600 * 1024 * 1024) });
  check(huge.status === 413 || huge.status === 0, `an oversized upload: ${huge.status}`);
  check(!fs.existsSync(path.join(where, 'huge.wav')), 'an oversized upload wrote nothing');
  const small = await request(port, { method: 'POST', pathname: '/api/upload?name=new%20song.wav', headers: withToken, body: song });
  check(small.status === 200 && fs.readFileSync(path.join(where, 'new song.wav')).equals(song), 'a song within the limit is added whole');

  // HTTP/1.0 lets a request leave Host out; this server does not.
  const bare = await new Promise((resolve) => {
    const socket = net.connect(port, '127.0.0.1', () => socket.write(`GET /?token=${token} HTTP/1.0\r\n\r\n`));
    let text = '';
    socket.on('data', (d) => { text += d; });
    socket.on('end', () => resolve(text));
    socket.on('error', () => resolve(text));
  });
  check(/^HTTP\/1\.[01] 403/.test(bare), `a request without Host: ${bare.split('\r\n')[0]}`);

  // Slow clients hold no thread for good: more of them than the server has
  // threads, and a request after them is still answered.
  const stalled = [];
  for (let i = 0; i < 24; i++) {
    const socket = net.connect(port, '127.0.0.1');
    socket.on('error', () => {});
    socket.write('GET /api/songs HTTP/1.1\r\nHost: 127.0.0.1\r\n');
    stalled.push(socket);
  }
  const answered = await request(port, { pathname: '/api/songs', headers: withToken });
  check(answered.status === 200, `a request behind stalled clients: ${answered.status}`);
  stalled.forEach((s) => s.destroy());
  const end = await server.stop();
  check(end.code === 130, `the server left with ${end.code}: ${server.stderr()}`);
}

async function waitDone(page, name) {
  return waitFor(async () => {
    const job = await jobState(page, name);
    if (job && job.state === 'failed') fail(`${name}: ${job.text}`);
    return job && job.state === 'done';
  }, 240, `${name} to finish`);
}

async function choose(page, selector, value) {
  await page.$eval(selector, (control, v) => {
    if (control.type === 'checkbox') control.checked = v; else control.value = v;
    control.dispatchEvent(new Event('change', { bubbles: true }));
    control.dispatchEvent(new Event('input', { bubbles: true }));
  }, value);
}

// Every kind of video, made with the page alone: a song added through the
// page, then portrait with a typed title and lyrics, square with a picture
// list, and an editor's layer with alpha.
async function kinds() {
  const where = folder();
  const source = folder();
  const song = makeSong(source, 'added.flac', 3);
  fs.writeFileSync(path.join(where, 'words.lrc'), '[00:00.20]Hello from the page\n');
  fs.writeFileSync(path.join(where, 'tunnel.glsl'), `void mainImage(out vec4 c, in vec2 p) {
    c = vec4(0.2, 0.9 * texture(iChannel0, vec2(0.1, 0.0)).x, p.x / iResolution.x, 1.0);
}\n`);
  const server = await startServer(where);
  const { browser, page, errors } = await launch();
  await page.goto(server.address);
  await page.waitForSelector(aria('bars', 'radio'));
  await (await page.$('#upload')).uploadFile(song);
  await page.waitForSelector('::-p-text(added.flac)');
  // The chooser shows the name as soon as it is picked: the copy is awaited
  // until it is whole (a copy cut short never is, and fails the wait).
  const added = path.join(where, 'added.flac');
  await waitFor(() => fs.existsSync(added) && fs.readFileSync(added).equals(fs.readFileSync(song)), 30,
    'the added song copied whole');
  await waitFor(() => page.$eval('input[name="song"]:checked', (i) => i.value).catch(() => ''), 10, 'the added song chosen');

  // A Shadertoy shader of the folder is a picture like the gallery's, with its cell.
  await waitFor(() => page.$eval('::-p-aria([name="tunnel.glsl"][role="radio"])',
    (input) => input.parentElement.querySelector('img').naturalWidth > 0).catch(() => false), 60, 'the shader\'s cell');
  const made = [];
  const kinds = [
    { name: 'portrait', preset: 'Reel', size: [1080, 1920], setup: async () => {
      await choose(page, '#title-mode', 'typed');
      await choose(page, '#title', 'A Typed Title');
      await choose(page, '#title-plate', 'black@0.6');
      await choose(page, '#lyrics', 'words.lrc');
    }, project: { title: 'A Typed Title', lyrics: 'words.lrc', 'title-plate': 'black@0.6', size: '1080x1920' } },
    { name: 'square', preset: 'Square', size: [1080, 1080], setup: async () => {
      await choose(page, '#title-mode', '');
      await choose(page, '#lyrics', '');
      await choose(page, '#playlist', 'ring,bars');
      await choose(page, '#change-every', '1');
    }, project: { picture: 'ring,bars', 'change-every': '1', size: '1080x1080' } },
    { name: 'layer', preset: 'Editor layer', size: [1920, 1080], setup: async () => {
      await choose(page, '#playlist', '');
    }, project: { transparent: true, size: '1920x1080' } },
  ];
  for (const kind of kinds) {
    await (await page.waitForSelector(aria(kind.preset, 'button'))).click();
    await kind.setup();
    // The preview has the video's shape, within 640x360.
    const shape = kind.size[0] > kind.size[1] ? [640, 360] : kind.size[0] === kind.size[1] ? [360, 360] : [202, 360];
    await waitFor(() => page.$eval('#preview', (img, want) => img.naturalWidth === want[0] && img.naturalHeight === want[1]
      && !img.hasAttribute('aria-busy'), shape), 60, `${kind.name}'s preview at ${shape.join('x')}`);
    await renderNamed(page, kind.name);
    const output = `${kind.name}.${kind.name === 'layer' ? 'mov' : 'mp4'}`;
    await waitDone(page, output);
    const probed = probe(path.join(where, output));
    const picture = probed.streams.find((st) => st.codec_type === 'video');
    check(picture.width === kind.size[0] && picture.height === kind.size[1], `${kind.name}: ${picture.width}x${picture.height}`);
    const saved = JSON.parse(fs.readFileSync(path.join(where, `${kind.name}.vrax.json`), 'utf8'));
    for (const [key, value] of Object.entries(kind.project)) {
      check(JSON.stringify(saved.options[key]) === JSON.stringify(value),
        `${kind.name}: the project's ${key} is ${JSON.stringify(saved.options[key])}, want ${JSON.stringify(value)}`);
    }
    made.push(output);
  }
  const alpha = spawnSync('ffprobe', ['-v', 'error', '-select_streams', 'v:0', '-show_entries', 'stream=pix_fmt',
    '-of', 'csv=p=0', path.join(where, 'layer.mov')]);
  check(/a/.test(String(alpha.stdout)) && /yuva|rgba|argb/.test(String(alpha.stdout)), `the layer keeps alpha: ${alpha.stdout}`);
  // A second tab shows the same queue.
  const other = await browser.newPage();
  await other.goto(server.address);
  await waitFor(async () => (await jobState(other, 'layer.mov') || {}).state === 'done', 20, 'the queue in a second tab');
  check(errors.length === 0, errors.join('\n'));
  await browser.close();
  await server.stop();
}

const cases = { flow, jobs, refusals, kinds };
const which = process.argv[2];
if (!cases[which]) fail(`no such case: ${which}`);
cases[which]().then(() => { console.log(`${which}: passed`); process.exit(0); }, (e) => fail(e.stack || e));
