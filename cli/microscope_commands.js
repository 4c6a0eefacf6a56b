'use strict';
// The microscope commands: `zentri zentri ...` and `zentri dinolite ...`. Every value is checked
// before a library is loaded; every command prints text, or JSON with --json.
const { CliError } = require('./errors');
const opt = require('./options');
const { sleep } = require('./camera');
const { Zentri, DinoLite, hexMode } = require('./microscopes');
const { rememberedMode, rememberMode } = require('./led_memory');
const { interruptible } = require('./launcher');
const { output, messages } = require('./stdio');
const { report } = require('./report');

const millimetres = (value) => Number(value.toFixed(3));

function deviceIndex(opts) {
  return opt.integer(opts.device, '--device', 0, 1000);
}

async function withMicroscope(Kind, opts, body) {
  const scope = new Kind(opts.library);
  try {
    return await body(scope);
  } finally {
    scope.dispose();
  }
}

function microscopeGroup(program, name, label, libraryDefault) {
  const group = program.command(name).description(`${label} microscopes`);
  const common = (cmd) => cmd
    .option('-d, --device <index>', 'microscope index (see list)', '0')
    .option('--library <path>', `path of lib${name}.so (default: ${libraryDefault})`)
    .option('--json', 'print the result as JSON');
  return { group, common };
}

function listDevices(Kind, label) {
  return async (opts) => {
    deviceIndex(opts);
    await withMicroscope(Kind, opts, async (scope) => {
      const devices = await scope.devices();
      report(opts, devices, devices.length === 0 ? [`no ${label} microscope found`]
        : devices.map((d) => `${d.index}: ${d.name}  [${d.uniqueId}]`));
    });
  };
}

// ---- Zentri ----

function zentriStatusLines(s) {
  const t = s.telemetry;
  const lines = [`device ${s.selected}`];
  if (s.version) {
    const v = s.version;
    lines.push(`product 0x${v.productId.toString(16)}, hardware ${v.hardwareMajorVersion}.${v.hardwareMinorVersion}, ` +
      `firmware ${v.softwareMajorVersion}.${v.softwareMinorVersion}.${v.softwarePatchVersion}`);
  }
  if (s.protocol) lines.push(`protocol ${s.protocol.majorVersion}.${s.protocol.minorVersion}.${s.protocol.patchVersion}`);
  lines.push(`status ${t ? `0x${(t.status >>> 0).toString(16).padStart(8, '0')}` : 'unknown'}, ` +
    `focus ${t ? t.focusPosition : 'unknown'}, LED ${ledWord(s.led)} (as last set by libzentri)`);
  if (t && t.pixelInfo.ok) lines.push(`pixel size ${t.pixelInfo.micronsPerPixel} µm at ${t.pixelInfo.width}x${t.pixelInfo.height}`);
  if (t && t.lensInfo.ok) lines.push(`lens driver ${t.lensInfo.lensDriver}, lens group ${t.lensInfo.lensGroup}`);
  const caps = Object.entries(s.capabilities).filter(([k, v]) => k !== 'apiVersion' && v).map(([k]) => k);
  lines.push(`API 0x${s.capabilities.apiVersion.toString(16)}, supports ${caps.join(', ') || 'nothing optional'}`);
  return lines;
}

const ledWord = (led) => (led === 1 ? 'on' : led === 0 ? 'off' : 'unknown');

function focusTarget(action) {
  if (action === undefined || ['near', 'far', 'auto'].includes(action)) return action;
  return opt.integer(action, 'the focus position (near, far, auto or a number)', 0, 0xffff);
}

function zentriCommands(program) {
  const { group, common } = microscopeGroup(program, 'zentri', 'Zentri', 'the one beside the addon');
  common(group.command('list').description('every Zentri microscope')).action(listDevices(Zentri, 'Zentri'));

  const showStatus = (pick) => async (...args) => {
    const opts = args[args.length - 2];
    const index = pick(...args);
    await withMicroscope(Zentri, opts, async (scope) => {
      scope.select(index);
      const s = await scope.status();
      report(opts, s, zentriStatusLines(s));
    });
  };
  common(group.command('select <index>').description('select a microscope and show what it reports'))
    .action(showStatus((index) => opt.integer(index, 'the device index', 0, 1000)));
  common(group.command('status').description('status of the selected microscope'))
    .action(showStatus((opts) => deviceIndex(opts)));

  common(group.command('telemetry').description('status, focus, pixel size and lens group as JSON lines, repeatedly'))
    .option('--watch <seconds>', 'keep printing for this long', '0')
    .action(async (opts) => {
      const seconds = Number(opts.watch) === 0 ? 0 : opt.seconds(opts.watch, '--watch');
      const index = deviceIndex(opts);
      await withMicroscope(Zentri, opts, async (scope) => {
        scope.select(index);
        const stop = interruptible();
        const end = Date.now() + seconds * 1000;
        do {
          const t = await scope.telemetry();
          if (!t) throw new CliError(`Zentri microscope ${index} sent no telemetry: ${scope.reason()}`);
          output.line(JSON.stringify(t));
          if (Date.now() < end) await sleep(500);
        } while (Date.now() < end && !stop.requested);
      });
    });

  common(group.command('focus [action]').description('read the focus position, or set it: a position, near, far or auto'))
    .action(async (action, opts) => {
      const target = focusTarget(action);
      const index = deviceIndex(opts);
      await withMicroscope(Zentri, opts, async (scope) => {
        scope.select(index);
        let position;
        if (target === undefined) {
          const t = await scope.telemetry();
          position = t ? t.focusPosition : null;
        } else {
          position = await scope.focus(target);
        }
        report(opts, { focusPosition: position }, [`focus position ${position ?? 'unknown'}`]);
      });
    });

  common(group.command('led [state]').description('switch the LED on or off (reading shows what libzentri last set; the microscope does not report it)'))
    .action(async (state, opts) => {
      if (state !== undefined && state !== 'on' && state !== 'off') throw new CliError(`the LED state must be on or off, got "${state}"`);
      const index = deviceIndex(opts);
      await withMicroscope(Zentri, opts, async (scope) => {
        scope.select(index);
        const led = state === undefined ? scope.led() : await scope.setLed(state === 'on');
        // The microscope cannot report its LED: libzentri answers with what it last set in this
        // process (on, before any change).
        const word = ledWord(led);
        report(opts, { led: word, asLastSet: state === undefined },
          [state === undefined ? `LED ${word} (as last set by libzentri in this process)` : `LED ${word}`]);
      });
    });
}

// ---- Dino-Lite ----

const LED_NAMES = { on: 0x11, flexible: 0x22, led1: 0x10, led2: 0x01, off: 0 };

// An LED mode: a name (on, off, flexible, led1, led2), 0x-hexadecimal or decimal.
function ledMode(text) {
  const word = String(text).trim().toLowerCase();
  if (Object.hasOwn(LED_NAMES, word)) return LED_NAMES[word];
  if (/^0x[0-9a-f]{1,4}$/.test(word)) return parseInt(word, 16);
  if (/^\d{1,5}$/.test(word)) return Number(word);
  throw new CliError(`the LED mode must be ${Object.keys(LED_NAMES).join(', ')}, or a number such as 0x10, got "${text}"`);
}

// Selects microscope `index` and puts its LED back to the mode this tool last left it in
// (selecting switches it to the preferred mode). A mode that cannot be restored is reported once.
function selectDinoLite(scope, index) {
  scope.select(index);
  const id = scope.id();
  const remembered = id ? rememberedMode(id) : null;
  const { mode, modes, controllable } = scope.led();
  if (remembered === null || remembered === mode || !controllable || !modes.includes(remembered)) return id;
  try {
    scope.setLed(remembered);
  } catch (error) {
    messages.line(`zentri: note: the LED stays in mode ${hexMode(scope.led().mode)}, not the earlier ${hexMode(remembered)}: ${error.message}`);
  }
  return id;
}

function dinoLiteStatus(scope, s) {
  return {
    selected: s.selected, backend: s.state.backend, magnification: s.magnification, fieldOfView: s.fieldOfView,
    ledMode: s.state.ledState, ledModes: s.state.ledModes, ledControllable: s.state.supportsLedControl,
    microtouch: s.state.supportsMicrotouch,
  };
}

function dinoLiteStatusLines(s) {
  return [
    `device ${s.selected}, backend ${s.backend}`,
    `magnification ${s.magnification === null ? 'unknown' : `${s.magnification}x`}, ` +
      `field of view ${s.fieldOfView === null ? 'unknown' : `${millimetres(s.fieldOfView)} mm`}`,
    `LED mode ${hexMode(s.ledMode)} of [${s.ledModes.map(hexMode).join(', ')}], MicroTouch ${s.microtouch ? 'yes' : 'no'}`,
  ];
}

function ledLine(led) {
  return `LED mode ${hexMode(led.mode)} of [${led.modes.map(hexMode).join(', ')}]${led.controllable ? '' : ' (not controllable)'}`;
}

function dinoLiteCommands(program) {
  const { group, common } = microscopeGroup(program, 'dinolite', 'Dino-Lite', 'the simulator built with the package');
  common(group.command('list').description('every Dino-Lite microscope')).action(listDevices(DinoLite, 'Dino-Lite'));

  const showStatus = (pick) => async (...args) => {
    const opts = args[args.length - 2];
    const index = pick(...args);
    await withMicroscope(DinoLite, opts, async (scope) => {
      selectDinoLite(scope, index);
      const s = dinoLiteStatus(scope, await scope.status());
      report(opts, s, dinoLiteStatusLines(s));
    });
  };
  common(group.command('select <index>').description('select a microscope and show what it reports'))
    .action(showStatus((index) => opt.integer(index, 'the device index', 0, 1000)));
  common(group.command('status').description('status of the selected microscope'))
    .action(showStatus((opts) => deviceIndex(opts)));

  common(group.command('magnification').alias('amr').description('the magnification reading'))
    .action(async (opts) => {
      const index = deviceIndex(opts);
      await withMicroscope(DinoLite, opts, async (scope) => {
        selectDinoLite(scope, index);
        const amr = await scope.magnification();
        if (amr === null) throw new CliError(`Dino-Lite microscope ${index} reports no magnification`);
        report(opts, { magnification: amr }, [`magnification ${amr}x`]);
      });
    });

  common(group.command('fov').description('the horizontal field of view at the current magnification'))
    .action(async (opts) => {
      const index = deviceIndex(opts);
      await withMicroscope(DinoLite, opts, async (scope) => {
        selectDinoLite(scope, index);
        const amr = await scope.magnification();
        const fov = await scope.fieldOfView(amr);
        if (fov === null) throw new CliError(`Dino-Lite microscope ${index} reports no field of view`);
        report(opts, { fieldOfView: millimetres(fov), magnification: amr },
          [`field of view ${millimetres(fov)} mm at magnification ${amr}x`]);
      });
    });

  common(group.command('led [action] [mode]')
    .description('show the LED mode; "toggle" steps to the next mode after the one the tool last set; ' +
      '"set MODE" switches to a mode (on, off, flexible, led1, led2, or a number such as 0x10)'))
    .action(async (action, modeText, opts) => {
      if (action !== undefined && action !== 'toggle' && action !== 'set') {
        throw new CliError(`the LED action must be toggle or set, got "${action}"`);
      }
      if (action === 'set' && modeText === undefined) throw new CliError('led set needs a mode, such as on, off or 0x10');
      if (action !== 'set' && modeText !== undefined) throw new CliError(`unexpected argument "${modeText}" after led ${action ?? ''}`.trim());
      const target = action === 'set' ? ledMode(modeText) : null;
      const index = deviceIndex(opts);
      await withMicroscope(DinoLite, opts, async (scope) => {
        const id = selectDinoLite(scope, index);
        if (action !== undefined) {
          const mode = action === 'toggle' ? scope.toggleLed() : scope.setLed(target);
          if (id && !rememberMode(id, mode)) {
            messages.line(`zentri: note: could not remember LED mode ${hexMode(mode)} for the next run`);
          }
        }
        const led = scope.led();
        report(opts, led, [action === undefined ? ledLine(led) : `LED mode ${hexMode(led.mode)}`]);
      });
    });
}

module.exports = { zentriCommands, dinoLiteCommands, ledMode };
