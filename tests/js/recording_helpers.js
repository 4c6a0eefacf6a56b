'use strict';
// Frames, file checks and process checks shared by the recording tests.
const fs = require('node:fs');
const { execFileSync } = require('node:child_process');

// A packed RGBA or BGRA frame whose pattern moves with `index`.
function makeFrame(width, height, index, layout = 'rgba') {
  const pixels = new Uint8Array(width * height * 4);
  for (let y = 0; y < height; y++) {
    for (let x = 0; x < width; x++) {
      const i = (y * width + x) * 4;
      const r = (x + index * 4) & 255;
      const g = (y + index * 2) & 255;
      const b = ((x ^ y) + index) & 255;
      pixels[i] = layout === 'rgba' ? r : b;
      pixels[i + 1] = g;
      pixels[i + 2] = layout === 'rgba' ? b : r;
      pixels[i + 3] = 255;
    }
  }
  return pixels;
}

// ffprobe's view of the first video stream as an object, plus per-packet durations.
function probe(file) {
  const out = execFileSync(
    'ffprobe',
    ['-v', 'error', '-select_streams', 'v:0', '-count_packets', '-show_streams',
      '-show_entries', 'packet=duration', '-of', 'json', file],
    { encoding: 'utf8' },
  );
  const json = JSON.parse(out);
  return { stream: json.streams[0], durations: json.packets.map((p) => Number(p.duration)) };
}

// Top-level MP4 box types in file order.
function topLevelBoxes(file) {
  const data = fs.readFileSync(file);
  const boxes = [];
  let offset = 0;
  while (offset + 8 <= data.length) {
    let size = data.readUInt32BE(offset);
    const type = data.toString('latin1', offset + 4, offset + 8);
    if (size === 1) size = Number(data.readBigUInt64BE(offset + 8));
    if (size === 0) size = data.length - offset;
    if (size < 8) break;
    boxes.push(type);
    offset += size;
  }
  return boxes;
}

// Child processes of this process whose command name is `name`, with their state letter and
// process group.
function childProcesses(name) {
  const found = [];
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    let stat;
    try {
      stat = fs.readFileSync(`/proc/${entry}/stat`, 'utf8');
    } catch {
      continue;
    }
    const close = stat.lastIndexOf(')');
    const comm = stat.slice(stat.indexOf('(') + 1, close);
    const fields = stat.slice(close + 2).split(' ');
    if (comm === name && Number(fields[1]) === process.pid) {
      found.push({ pid: Number(entry), state: fields[0], processGroup: Number(fields[2]) });
    }
  }
  return found;
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

module.exports = { makeFrame, probe, topLevelBoxes, childProcesses, sleep };
