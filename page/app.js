// The page: everything it shows comes from the server (the folder's songs,
// the gallery, stills and clips the studio itself makes); everything it asks
// for is a project, the same form `render NAME.vrax.json` reads.
'use strict';

const state = {
  song: '',
  songs: [],
  picture: 'ring',
  settings: [],      // the chosen picture's settings table
  preset: 'youtube',
  stillAsked: 0,     // the newest still asked for; older answers are dropped
};

const $ = (id) => document.getElementById(id);

function say(text) { $('status').textContent = text; }

async function api(path, options = {}) {
  const response = await fetch(path, { credentials: 'same-origin', ...options });
  if (!response.ok) {
    let why = response.statusText;
    try { why = (await response.json()).error || why; } catch (e) { /* not JSON */ }
    throw new Error(why);
  }
  return response;
}

function minutes(seconds) {
  const s = Math.max(0, Math.round(seconds));
  return `${Math.floor(s / 60)}:${String(s % 60).padStart(2, '0')}`;
}

// The project the page's controls say: options by render's own long names.
function project() {
  const options = {};
  if (state.picture.startsWith('shaders:')) options.shaders = state.picture.slice(8);
  else options.picture = state.picture;
  const list = $('playlist').value.split(',').map((n) => n.trim()).filter(Boolean);
  if (list.length > 1 && !state.picture.startsWith('shaders:')) options.picture = list.join(',');
  const sets = [];
  for (const setting of state.settings) {
    const control = $(`set-${setting.name}`);
    if (control && String(control.value).toLowerCase() !== String(setting.default).toLowerCase()) {
      sets.push(`${setting.name}=${control.value}`);
    }
  }
  if (sets.length) options.set = sets;
  for (const control of document.querySelectorAll('[data-option]')) {
    const untouched = (control.type === 'number' || control.type === 'range') && control.value === control.defaultValue;
    if (control.value === '' || untouched) continue;
    options[control.dataset.option] = control.value;
  }
  if (list.length < 2) {
    delete options['change-every'];
    delete options.crossfade;
  }
  const titleMode = $('title-mode').value;
  if (titleMode === 'auto') options.title = 'auto';
  if (titleMode === 'typed' && $('title').value.trim()) options.title = $('title').value.trim();
  if (!options.title) {
    for (const name of ['subtitle', 'title-at', 'title-size', 'title-plate']) delete options[name];
  } else if ($('title-colour').value !== '#ffffff') {
    options['title-colour'] = $('title-colour').value;
  }
  options.size = $('shape').value;
  options.fps = Number($('fps').value);
  if ($('transparent').checked) options.transparent = true;
  return { 'vrax-project': 1, songs: state.song ? [state.song] : [], options };
}

async function loadSongs(choose) {
  const songs = await (await api('/api/songs')).json();
  state.songs = songs;
  const box = $('songs');
  box.querySelectorAll('label, p').forEach((n) => n.remove());
  if (!songs.length) {
    const empty = document.createElement('p');
    empty.className = 'empty';
    empty.textContent = 'No songs in the folder yet: add one.';
    box.append(empty);
  }
  for (const song of songs) {
    const label = document.createElement('label');
    const input = document.createElement('input');
    input.type = 'radio';
    input.name = 'song';
    input.value = song.file;
    const tags = [song.tags.artist, song.tags.title].filter(Boolean).join(' – ');
    const text = document.createElement('span');
    text.textContent = song.file;
    const about = document.createElement('small');
    about.textContent = `${tags ? tags + ', ' : ''}${minutes(song.seconds)}`;
    label.append(input, text, about);
    input.addEventListener('change', () => chooseSong(song.file));
    box.append(label);
  }
  const first = choose || state.song || (songs[0] && songs[0].file);
  if (first) {
    const input = box.querySelector(`input[value="${CSS.escape(first)}"]`);
    if (input) { input.checked = true; chooseSong(first); }
  }
}

function chooseSong(file) {
  state.song = file;
  const song = state.songs.find((s) => s.file === file);
  $('seek').max = song && song.seconds > 1 ? Math.floor(song.seconds - 1) : 60;
  refreshCells();
  refreshPreview();
}

async function loadPictures() {
  const pictures = await (await api('/api/pictures')).json();
  const box = $('pictures');
  const names = pictures.gallery.map((p) => ({ value: p.name, name: p.name, about: p.about }))
    .concat(pictures.shaders.map((f) => ({ value: `shaders:${f}`, name: f, about: 'a Shadertoy shader in the folder' })));
  for (const picture of names) {
    const label = document.createElement('label');
    label.className = 'cell';
    label.title = picture.about;
    const input = document.createElement('input');
    input.type = 'radio';
    input.name = 'picture';
    input.value = picture.value;
    input.setAttribute('aria-label', picture.name);
    input.checked = picture.value === state.picture;
    const still = document.createElement('img');
    still.alt = '';
    still.width = 160;
    still.height = 90;
    still.dataset.picture = picture.value;
    const name = document.createElement('span');
    name.textContent = picture.name;
    name.setAttribute('aria-hidden', 'true');
    label.append(input, still, name);
    input.addEventListener('change', () => choosePicture(picture.value));
    box.append(label);
  }
  const fill = (select, names) => {
    for (const name of names) {
      const option = document.createElement('option');
      option.value = name;
      option.textContent = name;
      select.append(option);
    }
  };
  fill($('lyrics'), pictures.files.lyrics);
  fill($('background'), pictures.files.images);
  for (const palette of pictures.palettes) {
    const option = document.createElement('option');
    option.value = palette;
    option.textContent = palette;
    $('palette').append(option);
  }
}

// Each cell: the picture on the chosen song at its loudest moment, one at a time.
let cellsAsked = 0;
async function refreshCells() {
  const asked = ++cellsAsked;
  for (const still of document.querySelectorAll('#pictures img')) {
    if (asked !== cellsAsked || !state.song) return;
    const value = still.dataset.picture;
    const options = value.startsWith('shaders:') ? { shaders: value.slice(8) } : { picture: value };
    try {
      const response = await api('/api/still', {
        method: 'POST',
        body: JSON.stringify({ project: { 'vrax-project': 1, songs: [state.song], options }, at: 'loudest' }),
      });
      const url = URL.createObjectURL(await response.blob());
      if (still.src.startsWith('blob:')) URL.revokeObjectURL(still.src);
      still.src = url;
    } catch (e) {
      still.removeAttribute('src');
      still.parentElement.title = e.message;
    }
  }
}

async function choosePicture(value) {
  state.picture = value;
  const box = $('picture-settings');
  box.replaceChildren();
  state.settings = value.startsWith('shaders:') ? []
    : await (await api(`/api/settings?picture=${encodeURIComponent(value)}`)).json();
  for (const setting of state.settings) {
    const row = document.createElement('div');
    row.className = 'setting';
    const label = document.createElement('label');
    label.htmlFor = `set-${setting.name}`;
    label.textContent = setting.name;
    label.title = setting.meaning;
    const input = document.createElement('input');
    input.id = `set-${setting.name}`;
    if (setting.colour) {
      input.type = 'color';
      input.value = setting.default;
    } else {
      input.type = setting.low !== undefined ? 'range' : 'number';
      if (setting.low !== undefined) { input.min = setting.low; input.max = setting.high; }
      input.step = 'any';
      input.value = setting.default;
    }
    input.addEventListener('input', refreshPreview);
    const meaning = document.createElement('small');
    meaning.textContent = setting.meaning;
    row.append(label, input, meaning);
    box.append(row);
  }
  refreshPreview();
}

let previewTimer = 0;
let estimateTimer = 0;
function refreshPreview() {
  clearTimeout(previewTimer);
  previewTimer = setTimeout(showStill, 120);
  // The estimate renders a second and a half: only once the choices rest.
  clearTimeout(estimateTimer);
  estimateTimer = setTimeout(showEstimate, 1500);
}

let estimateAsked = 0;
async function showEstimate() {
  if (!state.song) return;
  const asked = ++estimateAsked;
  $('estimate').textContent = 'Working out how long the render takes…';
  try {
    const response = await api('/api/estimate', { method: 'POST', body: JSON.stringify({ project: project() }) });
    const answer = await response.json();
    if (asked === estimateAsked) $('estimate').textContent = `Render: ${answer.estimate}.`;
  } catch (e) {
    if (asked === estimateAsked) $('estimate').textContent = e.message;
  }
}

async function showStill() {
  if (!state.song) return;
  const asked = ++state.stillAsked;
  const preview = $('preview');
  preview.setAttribute('aria-busy', 'true');
  try {
    const response = await api('/api/still', {
      method: 'POST',
      body: JSON.stringify({ project: project(), at: Number($('seek').value) }),
    });
    const blob = await response.blob();
    if (asked !== state.stillAsked) return;
    if (preview.src.startsWith('blob:')) URL.revokeObjectURL(preview.src);
    preview.src = URL.createObjectURL(blob);
    preview.dataset.shown = String(asked);
    say('');
  } catch (e) {
    if (asked === state.stillAsked) say(e.message);
  } finally {
    if (asked === state.stillAsked) preview.removeAttribute('aria-busy');
  }
}

async function playClip() {
  if (!state.song) return;
  say('Making a few seconds…');
  try {
    const response = await api('/api/clip', {
      method: 'POST',
      body: JSON.stringify({ project: project(), at: Number($('seek').value) }),
    });
    const clip = await response.json();
    const video = $('clip');
    video.hidden = false;
    video.src = `${clip.clip}?t=${Date.now()}`;
    await video.play().catch(() => {});
    say('');
  } catch (e) {
    say(e.message);
  }
}

function usePreset(name) {
  state.preset = name;
  const shapes = { youtube: '1920x1080', reel: '1080x1920', square: '1080x1080', layer: '1920x1080', preview: '640x360' };
  $('shape').value = shapes[name];
  $('fps').value = '30';
  $('transparent').checked = name === 'layer';
  for (const button of document.querySelectorAll('[data-preset]')) {
    button.setAttribute('aria-pressed', String(button.dataset.preset === name));
  }
}

async function render() {
  $('render-error').textContent = '';
  try {
    await api('/api/render', {
      method: 'POST',
      body: JSON.stringify({ project: project(), name: $('name').value.trim() }),
    });
  } catch (e) {
    $('render-error').textContent = e.message;
  }
}

function showJobs(jobs) {
  const list = $('jobs');
  list.replaceChildren();
  for (const job of jobs.slice().reverse()) {
    const item = document.createElement('li');
    item.className = `job ${job.state}`;
    item.dataset.state = job.state;
    const title = document.createElement('strong');
    title.textContent = job.output;
    const bar = document.createElement('progress');
    bar.max = Math.max(1, job.total);
    bar.value = job.done;
    bar.setAttribute('aria-label', `${job.output}: share done`);
    const words = document.createElement('span');
    const share = job.total ? Math.floor((100 * job.done) / job.total) : 0;
    words.textContent = job.state === 'running'
      ? `${share}%, ${job.speed.toFixed(2)}× real time, ${minutes(job.left)} left`
      : job.state === 'failed' ? `failed: ${job.message}` : job.state === 'cancelled' ? 'cancelled' : job.state;
    item.append(title, bar, words);
    if (job.state === 'queued' || job.state === 'running') {
      const cancel = document.createElement('button');
      cancel.type = 'button';
      cancel.textContent = 'Cancel';
      cancel.setAttribute('aria-label', `Cancel ${job.output}`);
      cancel.addEventListener('click', () => api(`/api/jobs/${job.id}/cancel`, { method: 'POST' }).catch((e) => say(e.message)));
      item.append(cancel);
    }
    if (job.state === 'done') {
      const link = document.createElement('a');
      link.href = `/files/${encodeURIComponent(job.output)}`;
      link.textContent = job.output;
      const player = document.createElement('video');
      player.controls = true;
      player.preload = 'none';
      player.src = link.href;
      player.setAttribute('aria-label', `Play ${job.output}`);
      item.append(link, player);
    }
    list.append(item);
  }
}

let finishedJobs = -1;
function followJobs() {
  const events = new EventSource('/api/events');
  events.onmessage = (event) => {
    const jobs = JSON.parse(event.data);
    showJobs(jobs);
    // A finished render wrote a project: it can be opened from the list.
    const finished = jobs.filter((job) => job.state === 'done').length;
    if (finished !== finishedJobs) {
      finishedJobs = finished;
      loadProjects().catch((e) => say(e.message));
    }
  };
}

async function upload(file) {
  say(`Adding ${file.name}…`);
  try {
    const response = await api(`/api/upload?name=${encodeURIComponent(file.name)}`, { method: 'POST', body: file });
    const added = await response.json();
    await loadSongs(added.file);
    say(`Added ${added.file}`);
  } catch (e) {
    say(e.message);
  }
}

async function loadProjects() {
  const projects = await (await api('/api/projects')).json();
  const list = $('project-list');
  const chosen = list.value;
  list.querySelectorAll('option:not([value=""])').forEach((o) => o.remove());
  for (const name of projects) {
    const option = document.createElement('option');
    option.value = name;
    option.textContent = name;
    list.append(option);
  }
  list.value = chosen;
}

async function openProject(name) {
  if (!name) return;
  try {
    const opened = await (await api(`/api/project?file=${encodeURIComponent(name)}`)).json();
    const o = opened.options;
    const picture = o.shaders ? `shaders:${o.shaders}` : (o.picture || 'ring').split(',')[0];
    const input = document.querySelector(`#pictures input[value="${CSS.escape(picture)}"]`);
    if (input) input.checked = true;
    $('playlist').value = (o.picture || '').includes(',') ? o.picture : '';
    for (const control of document.querySelectorAll('[data-option]')) {
      control.value = o[control.dataset.option] !== undefined ? o[control.dataset.option] : control.defaultValue;
    }
    $('title-mode').value = !o.title ? '' : o.title === 'auto' ? 'auto' : 'typed';
    $('title').disabled = $('title-mode').value !== 'typed';
    $('title').value = o.title && o.title !== 'auto' ? o.title : '';
    if (o.size) $('shape').value = o.size;
    $('transparent').checked = o.transparent === 'true' || o.transparent === true;
    await choosePicture(picture);
    for (const set of [].concat(o.set || [])) {
      const [name, value] = set.split('=');
      const control = $(`set-${name}`);
      if (control) control.value = value;
    }
    const song = opened.songs[0] && opened.songs[0].split('/').pop();
    if (song) await loadSongs(song);
  } catch (e) {
    say(e.message);
  }
}

function wire() {
  $('seek').addEventListener('input', () => {
    $('seek-shown').textContent = minutes(Number($('seek').value));
    refreshPreview();
  });
  $('play-preview').addEventListener('click', playClip);
  $('render').addEventListener('click', render);
  $('title-mode').addEventListener('change', () => {
    $('title').disabled = $('title-mode').value !== 'typed';
    refreshPreview();
  });
  for (const control of document.querySelectorAll('.grid input, .grid select')) {
    control.addEventListener('change', refreshPreview);
  }
  for (const button of document.querySelectorAll('[data-preset]')) {
    button.addEventListener('click', () => { usePreset(button.dataset.preset); refreshPreview(); });
  }
  $('upload').addEventListener('change', () => { if ($('upload').files[0]) upload($('upload').files[0]); });
  const drop = $('drop');
  drop.addEventListener('dragover', (e) => { e.preventDefault(); drop.classList.add('over'); });
  drop.addEventListener('dragleave', () => drop.classList.remove('over'));
  drop.addEventListener('drop', (e) => {
    e.preventDefault();
    drop.classList.remove('over');
    if (e.dataTransfer.files[0]) upload(e.dataTransfer.files[0]);
  });
  $('project-list').addEventListener('change', () => openProject($('project-list').value));
}

// Each control's help and default from render's option table, the one the
// command line and its --help are made from.
async function loadOptions() {
  const rows = await (await api('/api/options')).json();
  for (const control of document.querySelectorAll('[data-option]')) {
    const row = rows.find((r) => r.name === control.dataset.option);
    if (!row) continue;
    control.title = row.help;
    const numeric = control.type === 'number' || control.type === 'range';
    if (numeric && row.default !== '') {
      control.defaultValue = row.default;
      control.value = row.default;
    }
  }
}

async function start() {
  wire();
  usePreset('youtube');
  followJobs();
  try {
    await loadOptions();
    await loadPictures();
    await choosePicture(state.picture);
    await loadSongs();
    await loadProjects();
  } catch (e) {
    say(e.message);
  }
}

start();
