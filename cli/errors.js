'use strict';
// The one error type the command-line tool reports to its user: its message is printed as a
// single line, without a stack trace, and the process exits with exitCode.
class CliError extends Error {
  constructor(message, exitCode = 1) {
    super(message);
    this.name = 'CliError';
    this.exitCode = exitCode;
  }
}

// The first line of an outside error's message: the tool never prints more than one line for a
// failure, whatever the library below it says.
function firstLine(error) {
  const text = error && error.message !== undefined ? String(error.message) : String(error);
  return text.split('\n')[0].trim();
}

module.exports = { CliError, firstLine };
