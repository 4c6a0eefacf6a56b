'use strict';
// The camera preview: the addon's producer thread keeps the newest size-limited RGBA frame of one
// camera; this module starts it, polls it the way an interface would (passing back the sequence it
// already has, into one reused buffer) and summarises its statistics.
const { CliError } = require('./errors');
const { requireFunctions, lastError } = require('./addon');
const { sleep } = require('./camera');

const PREVIEW_FUNCTIONS = ['cameraPreviewStart', 'cameraPreviewStop', 'cameraPreviewIsRunning',
  'cameraPreviewGetLatest'];
const FIRST_PREVIEW_TIMEOUT_MS = 5000;

function requirePreview() {
  return requireFunctions('the camera preview', PREVIEW_FUNCTIONS);
}

class Preview {
  // Starts the preview of camera `index` with frames of at most max.width x max.height.
  constructor(index, { max = { width: 960, height: 540 }, fps = 30 } = {}) {
    this.addon = requirePreview();
    this.index = index;
    const result = this.addon.cameraPreviewStart(index, max.width, max.height, fps);
    if (result !== 0) {
      throw new CliError(`the preview of camera ${index} did not start: result ${result}`);
    }
    this.target = new Uint8Array(max.width * max.height * 4);
    this.sequence = 0;
    this.received = 0;
    this.latest = null; // the last answer of cameraPreviewGetLatest, whatever its result
    this.frame = null; // the last answer that carried a frame
    this.startedAt = Date.now();
  }

  // Fetches the newest frame if there is one the caller has not seen; returns the answer.
  poll() {
    const latest = this.addon.cameraPreviewGetLatest(this.index, this.sequence, this.target);
    this.latest = latest;
    if (latest.result === 0) {
      this.sequence = latest.sequence;
      this.received++;
      this.frame = latest;
    } else if (latest.result !== this.addon.RESULT_NO) {
      throw new CliError(`the preview of camera ${this.index} stopped: result ${latest.result} (${lastError()})`);
    }
    return latest;
  }

  // Waits for the first published frame and returns it.
  async waitFirstFrame() {
    const deadline = Date.now() + FIRST_PREVIEW_TIMEOUT_MS;
    while (this.poll().result !== 0) {
      if (Date.now() > deadline) {
        throw new CliError(`the preview of camera ${this.index} produced no frame within ` +
          `${FIRST_PREVIEW_TIMEOUT_MS / 1000} s (last result ${this.latest.lastResult})`);
      }
      await sleep(10);
    }
    return this.frame;
  }

  // Statistics as the producer reports them, plus what this poller received.
  stats() {
    const l = this.latest || {};
    const f = this.frame || {};
    const seconds = (Date.now() - this.startedAt) / 1000;
    return {
      seconds,
      // The producer reports its rate once per second; until then, the rate seen here.
      producerFps: l.producerFps || (seconds > 0 ? Math.round((this.received * 10) / seconds) / 10 : 0),
      sequence: l.sequence ?? 0,
      droppedFrames: l.droppedFrames ?? 0,
      producedFrames: l.producedFrames ?? 0,
      lastResult: l.lastResult ?? 0,
      received: this.received,
      width: f.width ?? 0,
      height: f.height ?? 0,
      sourceWidth: f.sourceWidth ?? 0,
      sourceHeight: f.sourceHeight ?? 0,
    };
  }

  stop() {
    this.addon.cameraPreviewStop(this.index);
  }
}

// Runs the preview for `seconds`, polling every 10 ms like a display loop, and calls onStats
// about every `reportMs`. Returns the final statistics with the mean rate over the run.
async function runPreview(index, { seconds, max, fps, onStats = null, reportMs = 1000, stop = null }) {
  const preview = new Preview(index, { max, fps });
  try {
    await preview.waitFirstFrame();
    const began = Date.now();
    const firstSequence = preview.sequence;
    let nextReport = began + reportMs;
    while (Date.now() - began < seconds * 1000 && !(stop && stop.requested)) {
      await sleep(10);
      preview.poll();
      if (onStats && Date.now() >= nextReport) {
        onStats(preview.stats());
        nextReport += reportMs;
      }
    }
    const elapsed = (Date.now() - began) / 1000;
    const stats = preview.stats();
    stats.seconds = elapsed;
    stats.meanFps = elapsed > 0 ? (preview.sequence - firstSequence) / elapsed : 0;
    return stats;
  } finally {
    preview.stop();
  }
}

module.exports = { PREVIEW_FUNCTIONS, requirePreview, Preview, runPreview };
