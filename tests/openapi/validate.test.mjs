// validate.test.mjs: docs/openapi.yaml is a valid OpenAPI 3.1 description,
// its schemas compile, and its error codes are every code the program and
// the host configuration send.
//
//   LMX_SOURCE_DIR=<repo> node tests/openapi/validate.test.mjs
//
// The description is checked by @seriousme/openapi-schema-validator against
// the official OpenAPI 3.1 schemas. Those treat the schemas inside as
// opaque JSON Schema, so each is also compiled here by ajv in strict mode
// (a misspelt keyword or a reference to nothing fails), and each example is
// checked against its schema.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, readdirSync } from 'node:fs';
import { join } from 'node:path';
import { Validator } from '@seriousme/openapi-schema-validator';
import {
  descriptionPath, loadDescription, deref, schemaCompiler, operations, formatErrors,
} from './description.mjs';

const sourceDir = process.env.LMX_SOURCE_DIR || join(import.meta.dirname, '..', '..');
const api = loadDescription();

test('the description is valid OpenAPI 3.1', async () => {
  const validator = new Validator();
  const res = await validator.validate(descriptionPath);
  assert.equal(validator.version, '3.1');
  assert.ok(res.valid, JSON.stringify(res.errors, null, 2));
});

test('every schema compiles and every example fits its schema', () => {
  const { compile } = schemaCompiler(api);
  const problems = [];
  const check = (where, schema, examples) => {
    let validate;
    try {
      validate = compile(schema);
    } catch (e) {
      problems.push(`${where}: ${e.message}`);
      return;
    }
    for (const example of examples) {
      if (!validate(example)) problems.push(`${where} example: ${formatErrors(validate.errors)}`);
    }
  };
  for (const [name, schema] of Object.entries(api.components.schemas)) {
    check(`schema ${name}`, schema, [
      ...(schema.example !== undefined ? [schema.example] : []), ...(schema.examples ?? [])]);
  }
  for (const { path, method, op, params } of operations(api)) {
    const at = `${method.toUpperCase()} ${path}`;
    for (const p of params) {
      check(`${at} parameter ${p.name}`, p.schema, p.example !== undefined && p.schema.type !== 'integer'
        ? [p.example] : []);
    }
    const body = deref(api, op.requestBody);
    for (const [type, media] of Object.entries(body?.content ?? {})) {
      check(`${at} body ${type}`, media.schema, [
        ...(media.example !== undefined ? [media.example] : []),
        ...Object.values(media.examples ?? {}).map((e) => e.value)]);
    }
    for (const [status, response] of Object.entries(op.responses)) {
      for (const [type, media] of Object.entries(deref(api, response).content ?? {})) {
        check(`${at} ${status} ${type}`, media.schema, []);
      }
    }
  }
  assert.deepEqual(problems, []);
});

test('every operation documents its failures as the error envelope', () => {
  const { compile } = schemaCompiler(api);
  const envelope = {
    message: 'x', code: 'route_not_found', type: 'invalid_request',
    link: 'https://docs.nolvaris.com/errors#route_not_found',
  };
  const problems = [];
  for (const { path, method, op } of operations(api)) {
    for (const [status, response] of Object.entries(op.responses)) {
      if (Number(status) < 400) continue;
      const json = deref(api, response).content?.['application/json'];
      if (!json) {
        problems.push(`${method.toUpperCase()} ${path} ${status}: no JSON answer`);
        continue;
      }
      // Any answer of the status must be an envelope: a body with another
      // shape fails, whatever code the status allows.
      const validate = compile(json.schema);
      for (const wrong of [{ ...envelope, type: 'other' }, { message: 'x' }, { ...envelope, extra: 1 }]) {
        if (validate(wrong)) problems.push(`${method.toUpperCase()} ${path} ${status} takes ${JSON.stringify(wrong)}`);
      }
    }
  }
  assert.deepEqual(problems, []);
});

// Codes sent by the program: the second argument of every
// lmx_respond_error call with a literal code, and the literals of the
// helpers that pick a code and pass it on (unavailable(...), return "...").
function codesInSources() {
  const dir = join(sourceDir, 'src');
  const codes = new Set();
  const patterns = [
    /lmx_respond_error\(\s*\d+\s*,\s*"([a-z_]+)"/g,
    /unavailable\(\s*"([a-z_]+)"\s*\)/g,
    /return\s+"([a-z]+_[a-z_]+)"\s*;/g,
  ];
  for (const name of readdirSync(dir).filter((f) => /\.(cpp|h)$/.test(f))) {
    const text = readFileSync(join(dir, name), 'utf8');
    for (const re of patterns) for (const m of text.matchAll(re)) codes.add(m[1]);
  }
  return codes;
}

function codesOfHostErrors() {
  const dir = join(sourceDir, 'deploy', 'host-errors');
  return new Set(readdirSync(dir).map((f) => JSON.parse(readFileSync(join(dir, f), 'utf8')).code));
}

test('the error codes are the ones the program and the host send', () => {
  const documented = new Set(api.components.schemas.ErrorCode.enum);
  const sent = codesInSources();
  // The scan must find the codes it is meant to find, or it proves nothing.
  for (const known of ['unauthorized', 'storage_unavailable', 'document_too_large', 'route_not_found']) {
    assert.ok(sent.has(known), `the source scan missed ${known}`);
  }
  const missing = [...sent, ...codesOfHostErrors()].filter((c) => !documented.has(c));
  assert.deepEqual(missing, [], 'codes sent but not in ErrorCode');
  // Every code an operation's answer allows is one of ErrorCode.
  const allowed = new Set();
  const collect = (node) => {
    if (Array.isArray(node)) node.forEach(collect);
    else if (node && typeof node === 'object') {
      if (node.code?.enum) node.code.enum.forEach((c) => allowed.add(c));
      if (typeof node.code?.const === 'string') allowed.add(node.code.const);
      Object.values(node).forEach(collect);
    }
  };
  collect(api.components.responses);
  collect(api.paths);
  assert.deepEqual([...allowed].filter((c) => !documented.has(c)), [], 'codes allowed but not in ErrorCode');
});
