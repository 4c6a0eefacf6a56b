'use strict';
// How a command reports its result: text lines, or one JSON document with --json. Results go to
// the tool's output, except when the command writes its data there ("-"): then to standard error.
const { output, messages } = require('./stdio');

function report(opts, value, lines, { dataOnOutput = false } = {}) {
  const sink = dataOnOutput ? messages : output;
  if (opts.json) {
    sink.line(JSON.stringify(value, null, 2));
    return;
  }
  for (const line of lines) sink.line(line);
}

const fixed = (value, digits = 1) => Number(value).toFixed(digits);

module.exports = { report, fixed };
