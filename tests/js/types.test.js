'use strict';
// index.d.ts against the addon it describes: the declared names are exactly the registered ones,
// constants carry their registered values, and a sample that calls every function type-checks.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const ts = require('typescript');
const { rootDir, loadAddon } = require('./helpers');

const addon = loadAddon();
const sampleDir = path.join(__dirname, 'types');

// Top-level exported functions and constants of index.d.ts: name -> { kind, literal }.
function declared() {
  const file = path.join(rootDir, 'index.d.ts');
  const source = ts.createSourceFile(file, fs.readFileSync(file, 'utf8'), ts.ScriptTarget.Latest, true);
  const names = new Map();
  for (const statement of source.statements) {
    if (ts.isFunctionDeclaration(statement) && statement.name) {
      names.set(statement.name.text, { kind: 'function' });
    } else if (ts.isVariableStatement(statement)) {
      for (const d of statement.declarationList.declarations) {
        let literal;
        const type = d.type;
        if (type && ts.isLiteralTypeNode(type)) {
          literal = Number(type.literal.getText(source));
        }
        names.set(d.name.text, { kind: 'constant', literal });
      }
    }
  }
  return names;
}

test('index.d.ts declares exactly what the addon registers, with the registered values', () => {
  const names = declared();
  const registered = Object.keys(addon);
  assert.deepEqual([...names.keys()].filter((n) => !registered.includes(n)), [], 'declared but not registered');
  assert.deepEqual(registered.filter((n) => !names.has(n)), [], 'registered but not declared');
  for (const name of registered) {
    const entry = names.get(name);
    if (typeof addon[name] === 'function') {
      assert.equal(entry.kind, 'function', `${name} is a function`);
    } else {
      assert.equal(entry.kind, 'constant', `${name} is a constant`);
      assert.equal(entry.literal, addon[name], `${name} is declared with its value`);
    }
  }
});

test('a sample that calls every declared function passes tsc --noEmit', () => {
  const sample = fs.readFileSync(path.join(sampleDir, 'sample.ts'), 'utf8');
  const called = new Set([...sample.matchAll(/zentri\.(\w+)\(/g)].map((m) => m[1]));
  const functions = [...declared()].filter(([, e]) => e.kind === 'function').map(([n]) => n);
  assert.deepEqual(functions.filter((n) => !called.has(n)), [], 'functions the sample does not call');
  const tsc = path.join(rootDir, 'node_modules', 'typescript', 'bin', 'tsc');
  try {
    execFileSync(process.execPath, [tsc, '-p', path.join(sampleDir, 'tsconfig.json')], { encoding: 'utf8' });
  } catch (error) {
    assert.fail(`tsc reported:\n${error.stdout}${error.stderr}`);
  }
});
