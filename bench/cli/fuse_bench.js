'use strict';
// `zentri fuse` beside enfuse with focus-stacking settings, on the same five 4032x3024 JPEGs: a
// synthetic focus stack (detailed scene, each frame sharp in one band) written once into the
// stack folder. The two commands run in turn, round after round, each as a whole process under
// /usr/bin/time, and the ratios are taken round by round so that a machine whose speed drifts
// still gives usable figures. Both write a deflate-compressed TIFF.
//
//   node bench/cli/fuse_bench.js [--rounds 5] [--dir /tmp/zentri-fuse-bench]
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const sharp = require('sharp');

const WIDTH = 4032;
const HEIGHT = 3024;
const FRAMES = 5;

function argument(name, fallback) {
  const i = process.argv.indexOf(name);
  return i > 0 && i + 1 < process.argv.length ? process.argv[i + 1] : fallback;
}

const rounds = Number(argument('--rounds', '5'));
const dir = path.resolve(argument('--dir', path.join(os.tmpdir(), 'zentri-fuse-bench')));
const cli = path.join(__dirname, '..', '..', 'bin', 'zentri');

// A detailed scene: noise blurred a little, so it has fine detail everywhere, as a textured
// sample under a microscope has; frame k is that scene with band k sharp and the other bands
// blurred the more the further they are from it.
async function writeStack() {
  const files = Array.from({ length: FRAMES }, (_, k) => path.join(dir, `frame-${k}.jpg`));
  if (files.every((f) => fs.existsSync(f))) return files;
  fs.mkdirSync(dir, { recursive: true });
  const raw = { raw: { width: WIDTH, height: HEIGHT, channels: 3 } };
  const scene = await sharp({ create: { width: WIDTH, height: HEIGHT, channels: 3, background: '#808080',
    noise: { type: 'gaussian', mean: 128, sigma: 60 } } }).blur(0.8).raw().toBuffer();
  const blurred = [scene];
  for (let d = 1; d < FRAMES; d++) blurred.push(await sharp(scene, raw).blur(2.5 * d).raw().toBuffer());
  const rowBytes = WIDTH * 3;
  for (let k = 0; k < FRAMES; k++) {
    const frame = Buffer.alloc(scene.length);
    for (let band = 0; band < FRAMES; band++) {
      const y0 = Math.floor((band * HEIGHT) / FRAMES);
      const y1 = Math.floor(((band + 1) * HEIGHT) / FRAMES);
      blurred[Math.abs(band - k)].copy(frame, y0 * rowBytes, y0 * rowBytes, y1 * rowBytes);
    }
    await sharp(frame, raw).jpeg({ quality: 92 }).toFile(files[k]);
  }
  return files;
}

// Wall seconds, CPU seconds and peak resident memory (MiB) of one run of argv.
function measure(argv) {
  const r = spawnSync('/usr/bin/time', ['-f', '@@%e %U %S %M', ...argv], { encoding: 'utf8' });
  const m = /@@([\d.]+) ([\d.]+) ([\d.]+) (\d+)\s*$/.exec(r.stderr);
  if (r.status !== 0 || !m) throw new Error(`${argv.join(' ')} failed:\n${r.stderr}`);
  return { wall: Number(m[1]), cpu: Number(m[2]) + Number(m[3]), peak: Number(m[4]) / 1024 };
}

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const f = (v, d = 2) => v.toFixed(d);

async function main() {
  const files = await writeStack();
  const enfuse = ['enfuse', '--exposure-weight=0', '--saturation-weight=0', '--contrast-weight=1', '--hard-mask',
    '--contrast-window-size=5', '--compression=deflate', '-o', path.join(dir, 'enfuse.tif'), ...files];
  const zentri = [cli, 'fuse', '-y', '-o', path.join(dir, 'zentri.tif'), ...files];
  console.log(`fuse of ${FRAMES} ${WIDTH}x${HEIGHT} JPEGs, ${rounds} rounds (after one warm-up each), ${os.cpus().length} processors`);
  console.log(`A: ${zentri.join(' ')}`);
  console.log(`B: ${enfuse.join(' ')}`);
  measure(zentri);
  measure(enfuse);
  const a = [];
  const b = [];
  for (let i = 0; i < rounds; i++) {
    a.push(measure(zentri));
    b.push(measure(enfuse));
  }
  const row = (name, key, unit, digits) => {
    const ma = median(a.map((x) => x[key]));
    const mb = median(b.map((x) => x[key]));
    const ratio = median(a.map((x, i) => x[key] / b[i][key]));
    console.log(`${name.padEnd(12)} zentri ${f(ma, digits).padStart(8)} ${unit}   enfuse ${f(mb, digits).padStart(8)} ${unit}   ratio ${f(ratio, 3)}`);
  };
  console.log('medians (ratio: median of the per-round ratios)');
  row('wall', 'wall', 's', 2);
  row('cpu', 'cpu', 's', 2);
  row('peak RSS', 'peak', 'MiB', 1);
}

main().catch((error) => {
  console.error(error.message);
  process.exit(1);
});
