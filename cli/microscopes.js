'use strict';
// The two microscope bindings of the addon: Zentri microscopes through libzentri and Dino-Lite
// microscopes through libdinolite. Each command opens the binding, selects one device and reads
// or sets one thing; readings that the addon caches and refreshes in the background are polled
// until a fresh value arrives.
const { CliError } = require('./errors');
const { buildFile, dinoLiteSimulator, requireFunctions } = require('./addon');
const { sleep } = require('./camera');

const READING_TIMEOUT_MS = 3000;

// Dino-Lite LED modes are bit sets (0x11 all on, 0x22 flexible, 0x10 and 0x01 one group each, 0 off).
const hexMode = (mode) => (mode < 0 ? String(mode) : `0x${mode.toString(16)}`);

// Polls read() every 50 ms until it returns something other than `none`, at most timeoutMs.
async function poll(read, none = null, timeoutMs = READING_TIMEOUT_MS) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = read();
    if (value !== none || Date.now() > deadline) return value;
    await sleep(50);
  }
}

function checkDeviceIndex(kind, index, count) {
  if (index >= 0 && index < count) return;
  throw new CliError(count === 0 ? `no ${kind} found`
    : `${kind} ${index} does not exist: ${count === 1 ? 'the only one is 0' : `they are 0 to ${count - 1}`}`);
}

// ---- Zentri ----

const ZENTRI_FUNCTIONS = ['loadZentri', 'zentriInit', 'zentriLastError', 'zentriDeviceCount',
  'zentriDevicesAsync', 'zentriSelectDevice', 'zentriGetSelectedDevice', 'zentriGetTelemetry',
  'zentriCapabilities', 'zentriGetLedState', 'zentriSetLedStateAsync', 'zentriSetFocusPositionAsync',
  'zentriFocusNearAsync', 'zentriFocusFarAsync', 'zentriTriggerAutoFocusAsync', 'zentriVersionInfo',
  'zentriProtocolVersionInfo', 'zentriGetFocusPosition', 'zentriDispose'];

class Zentri {
  constructor(library) {
    this.addon = requireFunctions('Zentri microscope control', ZENTRI_FUNCTIONS);
    const loaded = this.addon.loadZentri(library || buildFile('libzentri.so'));
    if (!loaded.ok) throw new CliError(`could not load libzentri: ${this.reason()}`);
    if (!this.addon.zentriInit(false)) throw new CliError(`could not initialise libzentri: ${this.reason()}`);
  }

  reason() {
    return this.addon.zentriLastError() || this.addon.getLastError() || 'no reason recorded';
  }

  devices() {
    return this.addon.zentriDevicesAsync();
  }

  select(index) {
    checkDeviceIndex('Zentri microscope', index, this.addon.zentriDeviceCount());
    if (!this.addon.zentriSelectDevice(index)) {
      throw new CliError(`could not select Zentri microscope ${index}: ${this.reason()}`);
    }
  }

  // The first fresh telemetry sample after a selection; null when none arrives in time.
  async telemetry() {
    const sample = await poll(() => {
      const t = this.addon.zentriGetTelemetry();
      return t.status === -1 && t.focusPosition === -1 ? null : t;
    });
    return sample;
  }

  async status() {
    const telemetry = await this.telemetry();
    return {
      selected: this.addon.zentriGetSelectedDevice(),
      capabilities: this.addon.zentriCapabilities(),
      telemetry,
      led: this.addon.zentriGetLedState(),
      version: this.addon.zentriVersionInfo(),
      protocol: this.addon.zentriProtocolVersionInfo(),
    };
  }

  // "near", "far", "auto" or a focus position; resolves to the focus position read afterwards.
  async focus(action) {
    let done;
    if (action === 'near') done = await this.addon.zentriFocusNearAsync();
    else if (action === 'far') done = await this.addon.zentriFocusFarAsync();
    else if (action === 'auto') done = await this.addon.zentriTriggerAutoFocusAsync();
    else done = await this.addon.zentriSetFocusPositionAsync(action);
    if (!done) {
      const reason = this.addon.zentriLastError() || this.addon.getLastError();
      throw new CliError(typeof action === 'number'
        ? `the microscope refused the focus position ${action}${reason ? `: ${reason}` : ''}`
        : `the focus command ${action} failed${reason ? `: ${reason}` : ''}`);
    }
    // A successful focus job takes a telemetry sample, which caches the focus position.
    return poll(() => this.addon.zentriGetFocusPosition(), -1);
  }

  async setLed(on) {
    if (!(await this.addon.zentriSetLedStateAsync(on))) {
      throw new CliError(`could not switch the LED ${on ? 'on' : 'off'}: ${this.reason()}`);
    }
    return this.addon.zentriGetLedState();
  }

  led() {
    return this.addon.zentriGetLedState();
  }

  dispose() {
    this.addon.zentriDispose();
  }
}

// ---- Dino-Lite ----

const DINOLITE_FUNCTIONS = ['loadDinoLite', 'dinoLiteInit', 'dinoLiteLastError', 'dinoLiteDeviceCount',
  'dinoLiteDevicesAsync', 'dinoLiteDeviceId', 'dinoLiteSelectDevice', 'dinoLiteGetSelectedDevice', 'dinoLiteSupportsAmr',
  'dinoLiteGetAmr', 'dinoLiteGetFovx', 'dinoLiteToggleLed', 'dinoLiteDebugState', 'dinoLiteDispose'];

class DinoLite {
  constructor(library) {
    this.addon = requireFunctions('Dino-Lite microscope control', DINOLITE_FUNCTIONS);
    const loaded = this.addon.loadDinoLite(library || dinoLiteSimulator());
    if (!loaded.ok) throw new CliError(`could not load libdinolite: ${this.reason()}`);
    if (!this.addon.dinoLiteInit(false)) throw new CliError(`could not initialise libdinolite: ${this.reason()}`);
    this.index = -1;
  }

  reason() {
    return this.addon.dinoLiteLastError() || this.addon.getLastError() || 'no reason recorded';
  }

  devices() {
    return this.addon.dinoLiteDevicesAsync();
  }

  select(index) {
    checkDeviceIndex('Dino-Lite microscope', index, this.addon.dinoLiteDeviceCount());
    if (!this.addon.dinoLiteSelectDevice(index)) {
      throw new CliError(`could not select Dino-Lite microscope ${index}: ${this.reason()}`);
    }
    this.index = index;
  }

  // Magnification of the selected microscope; null when it reports none in time (a model
  // without a magnification reading, or no accepted reading).
  async magnification() {
    if (!this.addon.dinoLiteSupportsAmr()) return null;
    return poll(() => this.addon.dinoLiteGetAmr(this.index));
  }

  // Horizontal field of view at magnification `amr`: the SDK's micrometres / 1000, so millimetres.
  async fieldOfView(amr) {
    if (amr === null) return null;
    return poll(() => this.addon.dinoLiteGetFovx(this.index, amr, 0));
  }

  async status() {
    const magnification = await this.magnification();
    const fieldOfView = await this.fieldOfView(magnification);
    return { selected: this.addon.dinoLiteGetSelectedDevice(), magnification, fieldOfView,
      state: this.addon.dinoLiteDebugState() };
  }

  led() {
    const state = this.addon.dinoLiteDebugState();
    return { mode: state.ledState, modes: state.ledModes, controllable: state.supportsLedControl };
  }

  toggleLed() {
    const mode = this.addon.dinoLiteToggleLed();
    if (mode < 0) throw new CliError(`could not switch the LED: ${this.reason()}`);
    return mode;
  }

  // Unique id of the selected microscope.
  id() {
    return this.addon.dinoLiteDeviceId(this.index);
  }

  // Switches the LED to `target`, one of the microscope's modes. The SDK only steps to the next
  // mode of the microscope's list, so this steps until it gets there. Returns the mode.
  setLed(target) {
    const { mode, modes } = this.led();
    if (!modes.includes(target)) {
      throw new CliError(`LED mode ${hexMode(target)} is not one of this microscope's modes [${modes.map(hexMode).join(', ')}]`);
    }
    let current = mode;
    for (let step = 0; current !== target && step < modes.length; step++) {
      const next = this.addon.dinoLiteToggleLed();
      if (next < 0) {
        throw new CliError(`could not switch the LED to mode ${hexMode(target)}` +
          `${step > 0 ? ` (it stopped at mode ${hexMode(current)})` : ''}: ${this.reason()}`);
      }
      current = next;
    }
    if (current !== target) {
      throw new CliError(`LED mode ${hexMode(target)} cannot be reached by stepping through [${modes.map(hexMode).join(', ')}]`);
    }
    return current;
  }

  dispose() {
    this.addon.dinoLiteDispose();
  }
}

module.exports = { ZENTRI_FUNCTIONS, DINOLITE_FUNCTIONS, Zentri, DinoLite, hexMode };
