'use strict';
// The `zentri` command: one subcommand per thing the addon does. Every failure ends in a single
// line on stderr and a non-zero exit code; output files appear only when they are complete, and
// an existing file is replaced only when the user agrees.
const { Command } = require('commander');
const { CliError, firstLine } = require('./errors');
const opt = require('./options');
const { fuseFiles, probeStack, requireFusion } = require('./fuse');
const { imageFormatFor, formatName } = require('./images');
const { openOutput } = require('./output');
const { INTERRUPTED } = require('./launcher');
const { cameraCommands, overwriteOptions, jsonOption } = require('./camera_commands');
const { zentriCommands, dinoLiteCommands } = require('./microscope_commands');
const { output, messages } = require('./stdio');
const { report, fixed } = require('./report');
const { version } = require('../package.json');

async function fuseCommand(images, opts) {
  requireFusion();
  const options = {};
  if (opts.reference !== undefined) options.reference = opt.integer(opts.reference, '--reference', 0, 10);
  if (opts.threads !== undefined) options.threads = opt.integer(opts.threads, '--threads', 1, 64);
  if (opts.radius !== undefined) options.radius = opt.integer(opts.radius, '--radius', 0, 1000);
  const format = imageFormatFor(opts.output, opts.format);
  if (opts.quality !== undefined) {
    options.jpegQuality = opt.quality(opts.quality, '--quality');
    if (format !== 'jpeg') throw new CliError(`--quality sets the JPEG quality, but the output is ${formatName(format)}`);
  }
  const out = await openOutput(opts.output, opts);
  await probeStack(images);
  const fused = await fuseFiles(images, out, {
    ...options,
    format,
    onReduced: (file, bits) => messages.line(`zentri: note: ${file} has ${bits} bits a channel; ` +
      'the fusion works in 8 bits, so the fused image has 8'),
  });
  const shown = out.toStdout ? 'standard output' : fused.path;
  const { rgba, ...facts } = fused;
  report(opts, facts, [
    `${shown}: ${fused.width}x${fused.height} ${formatName(format)} fused from ${fused.frames} frames (reference ${fused.reference})`,
    `fusion ${fixed(fused.durationMs)} ms on ${fused.threads} thread${fused.threads === 1 ? '' : 's'} ` +
      `(${fused.backend}, ${fused.simd}); sharpness weights ${fixed(fused.weightsMs)} ms (radius ${fused.radius})`,
  ], { dataOnOutput: out.toStdout });
}

function buildProgram(argv = process.argv) {
  const program = new Command('zentri');
  program
    .description('USB microscopes and cameras from the command line, over the zentri-native addon')
    .version(`zentri ${version}`, '-V, --version', 'print the version')
    .showSuggestionAfterError(true)
    .configureOutput({
      writeOut: (text) => output.write(text),
      writeErr: (text) => messages.line(text.replace(/\n$/, '')),
      outputError: (text, write) => write(`zentri: ${text.replace(/^error: /, '')}`),
    });

  cameraCommands(program, argv);

  jsonOption(overwriteOptions(program.command('fuse <images...>')
    .description('fuse a focus stack of 3 to 11 PNG, JPEG or TIFF images (8 or 16 bits) into one image')))
    .requiredOption('-o, --output <file>', 'the fused image: PNG, JPEG or TIFF by its name; "-" for standard output')
    .option('--reference <k>', 'frame that fills pixels no frame can supply (default: the middle one)')
    .option('--threads <n>', 'thread budget (default: every processor, at most 8)')
    .option('--radius <pixels>', 'window radius of the sharpness measure (default: from the image size)')
    .option('--quality <1-100>', 'JPEG quality (default 90)')
    .option('--format <png|jpeg|tiff>', 'image format, for "-" or a name without an extension')
    .action(fuseCommand);

  zentriCommands(program);
  dinoLiteCommands(program);
  return program;
}

async function main(argv = process.argv) {
  const program = buildProgram(argv);
  program.exitOverride();
  // Until a command installs its own handling, a signal ends the process through the exit
  // handlers, so unfinished output files are removed.
  process.on('SIGINT', () => process.exit(INTERRUPTED));
  process.on('SIGTERM', () => process.exit(INTERRUPTED));
  try {
    await program.parseAsync(argv);
  } catch (error) {
    if (error && error.code && String(error.code).startsWith('commander.')) {
      // Commander has printed its one line (or the help, or the version) already.
      process.exitCode = error.exitCode;
      return;
    }
    if (error instanceof CliError) {
      messages.line(`zentri: ${error.message}`);
      process.exitCode = error.exitCode;
      return;
    }
    messages.line(`zentri: unexpected failure: ${firstLine(error)}`);
    if (process.env.ZENTRI_DEBUG) console.error(error);
    process.exitCode = 1;
  }
}

module.exports = { main, buildProgram };
