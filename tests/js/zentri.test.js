'use strict';
// The Zentri functions against the real libzentri, with the microscopes emulated by umockdev
// (tests/unit/libzentri/emulator, offered to scripts as build/microscope_emulator.node). Each
// case runs in its own process under umockdev-wrapper.
const test = require('node:test');
const assert = require('node:assert/strict');
const { zentri } = require('./zentri_helpers');

const emulated = { emulated: true };

// Shared by the bodies below (pasted into each child): selects the microscope whose unique id
// ends in `serial`, whatever order libusb lists the devices in, and a barrier that returns once
// every job queued on the Zentri executor before it has run (the executor is first in, first
// out, and zentriGetSelectedDevice is a synchronous job).
const PRELUDE = `
  const f32 = (x) => { const b = Buffer.alloc(4); b.writeFloatLE(x); return b.readUInt32LE(); };
  const barrier = (z) => z.zentriGetSelectedDevice();
  const selectSerial = async (z, serial) => {
    const devices = await z.zentriDevicesAsync();
    const device = devices.find((d) => d.uniqueId.endsWith('#' + serial));
    return z.zentriSelectDevice(device.index) ? device.index : -1;
  };`;

function body(text) {
  return `async (z, lib, emu) => { ${PRELUDE} ${text} }`;
}

test('load, init, device list, selection, version records and dispose', async () => {
  const out = await zentri(body(`
    const before = { caps: z.zentriCapabilities(), init: z.zentriInit(), count: z.zentriDeviceCount(),
      led: z.zentriGetLedState(), selected: z.zentriGetSelectedDevice() };
    const a = emu.addMicroscope({ serial: 'SN-A' });
    emu.addMicroscope({ productId: 0x905f, serial: '', video: false });
    // Firmware 3.2.1 on hardware 1.4 of product 0x9059; protocol 1.5.0.
    emu.setProperty(a, 0x001, (3 << 16) | (2 << 8) | 1, (0x9059 << 16) | (1 << 8) | 4);
    emu.setProperty(a, 0x002, (1 << 16) | (5 << 8), 0);
    const load = z.loadZentri(lib);
    const again = z.loadZentri('/nowhere/libzentri.so');
    const init = z.zentriInit();
    const afterInit = [z.zentriVersionInfo(), z.zentriProtocolVersionInfo()];
    const devices = await z.zentriDevicesAsync();
    const count = z.zentriDeviceCount();
    const ids = devices.map((d) => [z.zentriDeviceUniqueId(d.index), z.zentriDeviceFriendlyName(d.index)]);
    const index = await selectSerial(z, 'SN-A');
    const selected = z.zentriGetSelectedDevice();
    const version = z.zentriVersionInfo();
    const protocol = z.zentriProtocolVersionInfo();
    const outOfRange = [z.zentriSelectDevice(devices.length), z.zentriLastError(), z.getLastError(),
      z.zentriGetSelectedDevice()];
    const noArgument = [await z.zentriSelectDeviceAsync(), z.zentriLastError()];
    const reselect = await z.zentriSelectDeviceAsync(index);
    const reinit = [z.zentriInit(), z.zentriVersionInfo(), z.zentriGetSelectedDevice()];
    const disposed = [z.zentriDispose(), z.zentriGetSelectedDevice(), await z.zentriDisposeAsync()];
    const afterDispose = [z.zentriDeviceCount(), z.zentriGetSelectedDevice()];
    return { before, load, again, init, afterInit, devices, count, ids, index, selected, version,
      versionKeys: Object.keys(version), protocol, outOfRange, noArgument, reselect, reinit,
      disposed, afterDispose };`), emulated);

  assert.deepEqual(out.before, {
    caps: { apiVersion: 65536, focus: false, led: false, pixelSizeInfo: false, lensGroupInfo: false },
    init: false, count: 0, led: -1, selected: -1,
  });
  assert.equal(out.load.ok, true);
  assert.match(out.load.path, /libzentri\.so$/);
  assert.deepEqual(out.again, out.load, 'a second load keeps the first library');
  assert.equal(out.init, true);
  assert.deepEqual(out.afterInit, [null, null]);
  assert.equal(out.count, 2);
  // libusb decides the order; the indices are positions in that order.
  assert.deepEqual(out.devices.map((d) => d.index), [0, 1]);
  assert.deepEqual(out.devices.map((d) => [d.uniqueId, d.name]).sort(), [
    ['usb#vid_636c&pid_9059#SN-A', 'Smart Zentri Z1'],
    ['usb#vid_636c&pid_905f', 'Smart Zentri Z7'],
  ]);
  assert.deepEqual(out.devices.map((d) => Object.keys(d)), [['index', 'uniqueId', 'name'], ['index', 'uniqueId', 'name']]);
  assert.deepEqual(out.ids, out.devices.map((d) => [d.uniqueId, d.name]));
  assert.equal(out.selected, out.index);
  assert.deepEqual(out.version, {
    productId: 0x9059, hardwareMajorVersion: 1, hardwareMinorVersion: 4,
    softwareMajorVersion: 3, softwareMinorVersion: 2, softwarePatchVersion: 1,
  });
  assert.deepEqual(out.versionKeys, ['productId', 'hardwareMajorVersion', 'hardwareMinorVersion',
    'softwareMajorVersion', 'softwareMinorVersion', 'softwarePatchVersion']);
  assert.deepEqual(out.protocol, { majorVersion: 1, minorVersion: 5, patchVersion: 0 });
  const unavailable = 'Zentri SDK device selection received an unavailable device index';
  assert.deepEqual(out.outOfRange, [false, unavailable, unavailable, out.index]);
  assert.deepEqual(out.noArgument, [false, unavailable]);
  assert.equal(out.reselect, true);
  // Without force an initialised library stays as it is, but the version records are dropped.
  assert.deepEqual(out.reinit, [true, null, out.index]);
  assert.deepEqual(out.disposed, [true, -1, true]);
  // The library stays loaded: the next device call initialises it again.
  assert.deepEqual(out.afterDispose, [2, -1]);
});

test('focus set, near, far and auto; LED on and off', async () => {
  const out = await zentri(body(`
    const a = emu.addMicroscope({ serial: 'SN-F' });
    emu.setV4l2Focus(a, 40);
    z.loadZentri(lib);
    await selectSerial(z, 'SN-F');
    const set = await z.zentriSetFocusPositionAsync(77);
    // The set-focus job samples after the move: the standard focus reading is cached.
    const focus = [emu.v4l2Focus(a).value, z.zentriGetFocusPosition()];
    const rejected = [await z.zentriSetFocusPositionAsync(256), await z.zentriSetFocusPositionAsync('77'),
      await z.zentriSetFocusPositionAsync(-1), emu.v4l2Focus(a).value];
    const actions = [await z.zentriFocusNearAsync(), await z.zentriFocusFarAsync(),
      await z.zentriTriggerAutoFocusAsync()];
    const counts = emu.state(a);
    const led = [z.zentriGetLedState(), await z.zentriSetLedStateAsync(0), emu.state(a).led,
      z.zentriGetLedState(), await z.zentriSetLedStateAsync('yes'), emu.state(a).led,
      z.zentriGetLedState(), await z.zentriSetLedStateAsync(), emu.state(a).led, z.zentriGetLedState()];
    const caps = z.zentriCapabilities();
    // A microscope without a video node is driven by USB control transfers: focus is property 0x011.
    const b = emu.addMicroscope({ serial: 'SN-U', video: false });
    const usb = [z.zentriInit(true), await selectSerial(z, 'SN-U') >= 0, await z.zentriSetFocusPositionAsync(50),
      emu.property(b, 0x011)[0], z.zentriGetFocusPosition(), await z.zentriFocusFarAsync(), emu.state(b).far];
    return { set, focus, rejected, actions, counts, led, caps, usb };`), emulated);

  assert.equal(out.set, true);
  assert.deepEqual(out.focus, [77, 77]);
  assert.deepEqual(out.rejected, [false, false, false, 77]);
  assert.deepEqual(out.actions, [true, true, true]);
  assert.equal(out.counts.near, 1);
  assert.equal(out.counts.far, 1);
  assert.equal(out.counts.autoFocus, 1);
  assert.deepEqual(out.led, [1, true, false, 0, true, true, 1, true, false, 0]);
  assert.deepEqual(out.caps, { apiVersion: 0x30000, focus: true, led: true, pixelSizeInfo: true, lensGroupInfo: true });
  assert.deepEqual(out.usb, [true, true, true, 50, 50, true, 1]);
});

test('telemetry: calibrated frame sizes are cached, 640 x 480 never is', async () => {
  const out = await zentri(body(`
    const a = emu.addMicroscope({ serial: 'SN-T' });
    // Middle field 10, top field 0, focus 120; lens 0x1234 / 2; 1.25 um per pixel at 1920 x 1080.
    emu.setProperty(a, 0x030, (10 << 16) | 120, 0);
    emu.setV4l2Focus(a, 120);
    emu.setLensGroup(a, 0x1234, 2);
    emu.setProperty(a, 0x031, f32(1.25), (1920 << 16) | 1080);
    z.loadZentri(lib);
    await selectSerial(z, 'SN-T');
    z.zentriGetTelemetry(1920, 1080);
    barrier(z);
    emu.clearWire(a);
    const measured = z.zentriGetTelemetry(1920, 1080);
    barrier(z);
    const cached = z.zentriGetTelemetry(1920, 1080);
    barrier(z);
    const calibratedAsks = [emu.queries(a, 0x031), emu.queries(a, 0x030)];
    const readers = { status: z.zentriGetScopeStatus(), microns: z.zentriGetPixelSizeMicrons(),
      pixel: z.zentriGetPixelSizeInfo(), lens: z.zentriGetLensGroupInfo() };
    barrier(z);

    emu.setProperty(a, 0x031, f32(4.5), (640 << 16) | 480);
    z.zentriGetTelemetry(640, 480);
    barrier(z);
    emu.clearWire(a);
    const small = [z.zentriGetTelemetry(640, 480)];
    barrier(z);
    small.push(z.zentriGetTelemetry(640, 480));
    barrier(z);
    const smallAsks = emu.queries(a, 0x031);

    // Back to 1920 x 1080: the calibration is still there, but the snapshot of the other size
    // is not served for it.
    const switched = z.zentriGetTelemetry(1920, 1080);
    barrier(z);
    emu.clearWire(a);
    const back = z.zentriGetTelemetry(1920, 1080);
    return { measured, cached, calibratedAsks, readers, small, smallAsks, switched, back,
      pixelAsksAfterSwitch: emu.queries(a, 0x031) };`), emulated);

  const status = (10 << 16) | 120;
  assert.deepEqual(out.measured, {
    status, focusPosition: 120,
    pixelInfo: { ok: true, fromFocusCache: false, micronsPerPixel: 1.25, width: 1920, height: 1080 },
    lensInfo: { ok: true, lensDriver: 0x1234, lensGroup: 2 },
  });
  assert.deepEqual(Object.keys(out.measured), ['status', 'focusPosition', 'pixelInfo', 'lensInfo']);
  assert.deepEqual(Object.keys(out.measured.pixelInfo), ['ok', 'fromFocusCache', 'micronsPerPixel', 'width', 'height']);
  assert.deepEqual(Object.keys(out.measured.lensInfo), ['ok', 'lensDriver', 'lensGroup']);
  assert.deepEqual(out.cached.pixelInfo, { ok: true, fromFocusCache: true, micronsPerPixel: 1.25, width: 1920, height: 1080 });
  // Two refreshes ran after the wire was cleared; only the first asked for the pixel size.
  assert.deepEqual(out.calibratedAsks, [0, 2], 'a cached sample must not ask the device for the pixel size');
  assert.deepEqual(out.readers, {
    status, microns: 1.25,
    pixel: { ok: true, fromFocusCache: true, micronsPerPixel: 1.25, width: 1920, height: 1080 },
    lens: { ok: true, lensDriver: 0x1234, lensGroup: 2 },
  });
  for (const sample of out.small) {
    assert.deepEqual(sample.pixelInfo, { ok: true, fromFocusCache: false, micronsPerPixel: 4.5, width: 640, height: 480 });
  }
  assert.equal(out.smallAsks, 2, 'every 640 x 480 sample asks the device');
  // A frame-size change drops the snapshot of the old size (unless the refresh it asked for
  // already ran: then the snapshot is of the new size).
  assert.ok(out.switched.status === -1 || out.switched.pixelInfo.fromFocusCache);
  assert.equal(out.back.pixelInfo.fromFocusCache, true);
  assert.equal(out.pixelAsksAfterSwitch, 0);
});

test('telemetry refreshes are coalesced: two rapid reads queue one', async () => {
  const out = await zentri(body(`
    const a = emu.addMicroscope({ serial: 'SN-C' });
    emu.setProperty(a, 0x030, (10 << 16) | 120, 0);
    emu.setV4l2Focus(a, 120);
    z.loadZentri(lib);
    await selectSerial(z, 'SN-C');
    z.zentriGetTelemetry(640, 480);
    barrier(z);
    emu.clearWire(a);
    // Occupy the executor: the set-focus job waits 150 ms for the lens once it has set it.
    const busy = z.zentriSetFocusPositionAsync(90);
    const until = Date.now() + 5000;
    while (emu.v4l2Focus(a).sets === 0 && Date.now() < until) {}
    z.zentriGetTelemetry(640, 480);
    z.zentriGetTelemetry(640, 480);
    z.zentriGetScopeStatus();
    const moved = await busy;
    barrier(z);
    return { moved, statusAsks: emu.queries(a, 0x030), buttonReads: emu.statusReads(a) };`), emulated);
  assert.equal(out.moved, true);
  // One sample of the set-focus job and one of the single refresh.
  assert.equal(out.statusAsks, 2);
  assert.ok(out.buttonReads >= 1 && out.buttonReads <= 4, `one capture-button read (with retries), got ${out.buttonReads}`);
});

test('the capture button latches once per press seen by a refresh', async () => {
  const out = await zentri(body(`
    const a = emu.addMicroscope({ serial: 'SN-B' });
    z.loadZentri(lib);
    await selectSerial(z, 'SN-B');
    const idle = [z.zentriIsCapturePressed()];
    barrier(z);
    idle.push(z.zentriIsCapturePressed());
    barrier(z);
    emu.setCaptureByte(a, 0x81);
    z.zentriGetTelemetry();       // a refresh sees the press
    barrier(z);
    emu.setCaptureByte(a, 0x00);  // released before the script looks
    const press = [z.zentriIsCapturePressed()];
    barrier(z);
    press.push(z.zentriIsCapturePressed());
    barrier(z);
    press.push(z.zentriIsCapturePressed());
    // A selection resets the latch.
    emu.setCaptureByte(a, 0x81);
    z.zentriGetTelemetry();
    barrier(z);
    emu.setCaptureByte(a, 0x80);  // bit 0x01 missing: not a press
    const reselected = [await selectSerial(z, 'SN-B') >= 0, z.zentriIsCapturePressed()];
    barrier(z);
    reselected.push(z.zentriIsCapturePressed());
    return { idle, press, reselected };`), emulated);
  assert.deepEqual(out.idle, [false, false]);
  assert.deepEqual(out.press, [true, false, false]);
  assert.deepEqual(out.reselected, [true, false, false]);
});
