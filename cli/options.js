'use strict';
// Readers of command-line values. Each checks its value before the command touches a device or
// a file, and a bad value fails with one message that names the option it came from.
const { CliError } = require('./errors');

const quoted = (text) => JSON.stringify(String(text));

// A whole number in [min, max].
function integer(text, option, min, max) {
  const trimmed = String(text).trim();
  const value = /^[+-]?\d+$/.test(trimmed) ? Number(trimmed) : NaN;
  if (!Number.isSafeInteger(value) || value < min || value > max) {
    throw new CliError(`${option} must be a whole number from ${min} to ${max}, got ${quoted(text)}`);
  }
  return value;
}

// "WIDTHxHEIGHT" as { width, height }, both 1 to 16384.
function size(text, option) {
  const match = /^(\d+)x(\d+)$/i.exec(String(text).trim());
  const width = match ? Number(match[1]) : 0;
  const height = match ? Number(match[2]) : 0;
  if (width < 1 || height < 1 || width > 16384 || height > 16384) {
    throw new CliError(`${option} must be a size like 1280x720 (1 to 16384 a side), got ${quoted(text)}`);
  }
  return { width, height };
}

// A number of seconds above 0 and at most `max`.
function seconds(text, option, max = 86400) {
  const trimmed = String(text).trim();
  const value = /^\d+(\.\d+)?$|^\.\d+$/.test(trimmed) ? Number(trimmed) : NaN;
  if (!Number.isFinite(value) || value <= 0 || value > max) {
    throw new CliError(`${option} must be a number of seconds above 0 and at most ${max}, got ${quoted(text)}`);
  }
  return value;
}

const BITRATE_MIN = 100_000;
const BITRATE_MAX = 240_000_000;

// A bit rate in bits per second: a number with an optional k (1000) or M (1000000) suffix, as
// ffmpeg writes them (4M, 2500k, 1.5M, 4000000).
function bitrate(text, option) {
  const match = /^(\d+(?:\.\d+)?|\.\d+)([kKM]?)$/.exec(String(text).trim());
  const scale = match ? { '': 1, k: 1e3, K: 1e3, M: 1e6 }[match[2]] : 0;
  const value = match ? Math.round(Number(match[1]) * scale) : NaN;
  if (!Number.isFinite(value) || value < BITRATE_MIN || value > BITRATE_MAX) {
    throw new CliError(`${option} must be a bit rate from 100k to 240M bits per second (like 4M or 2500k), ` +
      `got ${quoted(text)}`);
  }
  return value;
}

// JPEG quality, 1 to 100.
function quality(text, option) {
  return integer(text, option, 1, 100);
}

const SYNTHETIC_MAX_COUNT = 16;
const SYNTHETIC_MAX_SIDE = 8192;
const SYNTHETIC_MAX_RATE = 240;

// Synthetic cameras as the capture library reads them: a count (1 to 16) or a comma-separated
// list of WIDTHxHEIGHT[@FPS]. The library skips entries it cannot read; here every one must be.
function syntheticCameras(text, option) {
  const value = String(text).trim();
  const fail = (why) => {
    throw new CliError(`${option} must be a count from 1 to ${SYNTHETIC_MAX_COUNT} or sizes like ` +
      `1920x1080@30,640x480 (${why}), got ${quoted(text)}`);
  };
  if (/^\d+$/.test(value)) {
    const count = Number(value);
    if (count < 1 || count > SYNTHETIC_MAX_COUNT) fail(`at most ${SYNTHETIC_MAX_COUNT} cameras`);
    return value;
  }
  const entries = value.split(',').map((e) => e.trim());
  if (entries.length > SYNTHETIC_MAX_COUNT) fail(`at most ${SYNTHETIC_MAX_COUNT} cameras`);
  for (const entry of entries) {
    const match = /^(\d+)[xX](\d+)(?:@(\d+))?$/.exec(entry);
    if (!match) fail(entry === '' ? 'an empty entry' : `cannot read ${quoted(entry)}`);
    const [w, h, rate] = [Number(match[1]), Number(match[2]), match[3] === undefined ? 30 : Number(match[3])];
    if (w < 1 || h < 1 || w > SYNTHETIC_MAX_SIDE || h > SYNTHETIC_MAX_SIDE) {
      fail(`${entry}: sides are 1 to ${SYNTHETIC_MAX_SIDE}`);
    }
    if (rate < 1 || rate > SYNTHETIC_MAX_RATE) fail(`${entry}: frame rates are 1 to ${SYNTHETIC_MAX_RATE}`);
  }
  return entries.join(',');
}

module.exports = { integer, size, seconds, bitrate, quality, syntheticCameras, BITRATE_MIN, BITRATE_MAX };
