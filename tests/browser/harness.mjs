// What the page's tests share: a folder with a song of known tags and
// length, the studio's server started on 127.0.0.1, Debian's chromium.
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import http from 'node:http';
import puppeteer from 'puppeteer-core';

export const studio = process.env.STUDIO_BINARY;

// The servers a case started: a failed case ends them, so none outlives it.
const started = [];

export function fail(why) {
  console.error(`FAILED: ${why}`);
  for (const child of started) child.kill('SIGKILL');
  process.exit(1);
}

export function check(condition, why) {
  if (!condition) fail(why);
}

export function folder() {
  return fs.mkdtempSync(path.join(os.tmpdir(), 'vrax-page-'));
}

// A song of known length and tags: a 110 Hz tone with a 2 Hz beat on top.
export function makeSong(where, name, seconds, title = 'Test Tone', artist = 'Page Suite') {
  const out = path.join(where, name);
  const made = spawnSync('ffmpeg', ['-v', 'error', '-f', 'lavfi', '-i',
    `aevalsrc=0.5*sin(2*PI*110*t)*(0.3+0.7*lt(mod(t\\,0.5)\\,0.1)):s=44100:d=${seconds}`,
    '-ac', '2', '-metadata', `title=${title}`, '-metadata', `artist=${artist}`, out]);
  check(made.status === 0, `ffmpeg could not make ${name}: ${made.stderr}`);
  return out;
}

// Polls `probe` until it gives a truthy value or `seconds` pass.
export async function waitFor(probe, seconds, what) {
  const end = Date.now() + seconds * 1000;
  for (;;) {
    const value = await probe();
    if (value) return value;
    if (Date.now() > end) fail(`waited ${seconds} s for ${what}`);
    await new Promise((r) => setTimeout(r, 100));
  }
}

export async function startServer(where, extra = [], env = {}) {
  const child = spawn(studio, ['serve', where, '--port', '0', ...extra],
    { stdio: ['ignore', 'pipe', 'pipe'], env: { ...process.env, ...env } });
  started.push(child);
  let out = '';
  let err = '';
  child.stdout.on('data', (d) => { out += d; });
  child.stderr.on('data', (d) => { err += d; });
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  const address = await waitFor(() => (out.match(/^http:\/\/127\.0\.0\.1:\d+\/\?token=[0-9a-f]{32}$/m) || [])[0],
    20, `the server's address (stderr: ${err})`);
  const url = new URL(address);
  return {
    child, address, port: Number(url.port), token: url.searchParams.get('token'), exited,
    stderr: () => err,
    async stop() {
      child.kill('SIGINT');
      return exited;
    },
  };
}

// A raw request, Host and all as given (fetch would not let a test lie about Host).
export function request(port, { method = 'GET', pathname = '/', headers = {}, body = null, declaredLength = null }) {
  return new Promise((resolve, reject) => {
    const req = http.request({ host: '127.0.0.1', port, method, path: pathname,
      headers: { Host: `127.0.0.1:${port}`, ...headers,
        ...(declaredLength !== null ? { 'Content-Length': declaredLength } : {}) } }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: Buffer.concat(chunks) }));
    });
    req.on('error', (e) => (declaredLength !== null ? resolve({ status: 0, error: e }) : reject(e)));
    req.setTimeout(20000, () => req.destroy(new Error('timed out')));
    if (body !== null) req.write(body);
    if (declaredLength === null) req.end();
    else setTimeout(() => req.destroy(), 5000);
  });
}

export async function launch() {
  const browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--autoplay-policy=no-user-gesture-required', '--mute-audio'],
  });
  const page = await browser.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(`page error: ${e.message}`));
  page.on('console', (m) => { if (m.type() === 'error' && !/status of 4\d\d/.test(m.text())) errors.push(`console: ${m.text()}`); });
  await page.setViewport({ width: 1400, height: 1000 });
  return { browser, page, errors };
}

// An <img> of the page as RGB bytes, drawn into a canvas.
export async function imageRgb(page, selector) {
  return page.$eval(selector, (img) => {
    const canvas = document.createElement('canvas');
    canvas.width = img.naturalWidth;
    canvas.height = img.naturalHeight;
    const context = canvas.getContext('2d');
    context.drawImage(img, 0, 0);
    const data = context.getImageData(0, 0, canvas.width, canvas.height).data;
    const rgb = [];
    for (let i = 0; i < data.length; i += 4) rgb.push(data[i], data[i + 1], data[i + 2]);
    return rgb;
  });
}

// The mean of each channel of an <img> on the page.
export async function imageMeans(page, selector) {
  const rgb = await imageRgb(page, selector);
  const sums = [0, 0, 0];
  for (let i = 0; i < rgb.length; i += 3) { sums[0] += rgb[i]; sums[1] += rgb[i + 1]; sums[2] += rgb[i + 2]; }
  return sums.map((v) => v / (rgb.length / 3));
}

// Frame `index` of a video as raw RGB, decoded by ffmpeg.
export function frameOf(video, index, width, height) {
  const got = spawnSync('ffmpeg', ['-v', 'error', '-i', video, '-vf', `select=eq(n\\,${index})`, '-frames:v', '1',
    '-f', 'rawvideo', '-pix_fmt', 'rgb24', '-'], { maxBuffer: 64 << 20 });
  check(got.status === 0 && got.stdout.length === width * height * 3, `ffmpeg could not read frame ${index} of ${video}`);
  return got.stdout;
}

export function probe(video) {
  const got = spawnSync('ffprobe', ['-v', 'error', '-show_entries', 'stream=codec_type,width,height,nb_frames',
    '-show_entries', 'format=duration', '-of', 'json', video]);
  check(got.status === 0, `ffprobe could not read ${video}`);
  return JSON.parse(got.stdout);
}
