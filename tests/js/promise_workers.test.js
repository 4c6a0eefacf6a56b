'use strict';
// The promise workers behind every "Async" vendor function, through a probe addon that picks the
// work function: values resolve (failures included), exceptions reject with their text.
const test = require('node:test');
const assert = require('node:assert/strict');
const { buildPath } = require('./helpers');

const probe = require(buildPath('promise_probe.node'));

test('values resolve, including the failure values false, -1 and []', async () => {
  assert.equal(await probe.boolean('value', false), false);
  assert.equal(await probe.boolean('value', true), true);
  assert.equal(await probe.integer('value', -1), -1);
  assert.equal(await probe.integer('value', 2147483647), 2147483647);
  assert.deepEqual(await probe.devices('value', 0), []);
  const devices = await probe.devices('value', 2);
  assert.deepEqual(devices, [
    { index: 0, uniqueId: 'id-0', name: 'Mikroskop ü 0' },
    { index: 1, uniqueId: 'id-1', name: 'Mikroskop ü 1' },
  ]);
  assert.deepEqual(Object.keys(devices[0]), ['index', 'uniqueId', 'name']);
});

test('exceptions reject with their text or the fixed texts', async () => {
  for (const run of [probe.boolean, probe.integer, probe.devices]) {
    await assert.rejects(run('throw'), (error) => error instanceof Error && error.message === 'x');
    // An exception without a text still rejects (it must not pass for success).
    await assert.rejects(run('throwEmpty'), (error) => error instanceof Error && error.message === '');
    // An empty work function is a standard exception (bad_function_call).
    await assert.rejects(run('empty'), (error) => error instanceof Error && error.message.length > 0);
  }
  await assert.rejects(probe.boolean('unknown'), { message: 'Native SDK operation failed with an unknown error' });
  await assert.rejects(probe.integer('unknown'), { message: 'Native SDK operation failed with an unknown error' });
  await assert.rejects(probe.devices('unknown'),
    { message: 'Native SDK device enumeration failed with an unknown error' });
});

test('many promises in flight settle once each', async () => {
  const results = await Promise.allSettled(
    Array.from({ length: 64 }, (_, i) => (i % 2 ? probe.integer('value', i) : probe.integer('throw'))));
  results.forEach((result, i) => {
    if (i % 2) assert.deepEqual(result, { status: 'fulfilled', value: i });
    else assert.equal(result.status, 'rejected');
  });
});
