// description.mjs: what the checks of docs/openapi.yaml share: the file read and
// parsed, its references followed, and its schemas compiled with ajv under
// the JSON Schema 2020-12 dialect OpenAPI 3.1 uses.
//
// The file's schemas refer to each other as "#/components/schemas/NAME".
// Each component schema is given to ajv under an $id of its own and every
// such reference is rewritten to that $id, so a response's schema compiles
// on its own and the components are compiled once. References to
// responses, parameters and request bodies are OpenAPI's own, not JSON
// Schema's: deref() follows them.
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import YAML from 'yaml';
import Ajv2020 from 'ajv/dist/2020.js';
import addFormats from 'ajv-formats';

// Keywords OpenAPI adds to JSON Schema, and ours: annotations ajv must
// accept without acting on them (it refuses unknown keywords in strict mode,
// which is what catches a misspelt "additionalProperties").
const ANNOTATIONS = ['example', 'x-lumidex-answers-untested'];
const SCHEMA_BASE = 'https://lumidex.invalid/schemas/';

export const descriptionPath = join(import.meta.dirname, '..', '..', 'docs', 'openapi.yaml');

export function loadDescription(path = descriptionPath) {
  return YAML.parse(readFileSync(path, 'utf8'), { maxAliasCount: -1 });
}

// Follows an OpenAPI "$ref" inside the file (one level after another).
export function deref(api, node) {
  let seen = 0;
  while (node && typeof node.$ref === 'string' && node.$ref.startsWith('#/')) {
    if (++seen > 16) throw new Error('reference loop at ' + node.$ref);
    node = node.$ref.slice(2).split('/').reduce((at, key) => {
      const next = at?.[key.replace(/~1/g, '/').replace(/~0/g, '~')];
      if (next === undefined) throw new Error('unresolved reference ' + node.$ref);
      return next;
    }, api);
  }
  return node;
}

// A deep copy of a schema with the component references rewritten.
function rewritten(schema) {
  return JSON.parse(JSON.stringify(schema), (key, value) =>
    key === '$ref' && typeof value === 'string' && value.startsWith('#/components/schemas/')
      ? SCHEMA_BASE + value.slice('#/components/schemas/'.length)
      : value);
}

// An ajv holding every component schema; compile(schema) compiles a schema
// of the file (a response's, a parameter's) against them.
export function schemaCompiler(api) {
  const ajv = new Ajv2020({ strict: true, strictTypes: false, allErrors: true });
  addFormats(ajv);
  for (const keyword of ANNOTATIONS) ajv.addKeyword({ keyword, schemaType: ['string', 'boolean', 'object', 'array', 'number'] });
  for (const [name, schema] of Object.entries(api.components?.schemas ?? {})) {
    ajv.addSchema({ ...rewritten(schema), $id: SCHEMA_BASE + name });
  }
  return {
    ajv,
    compile: (schema) => ajv.compile(rewritten(schema)),
    component: (name) => ajv.getSchema(SCHEMA_BASE + name),
  };
}

// Every operation of the file: { path, method, op, params } where params
// holds the path item's and the operation's parameters, resolved.
export const METHODS = ['get', 'put', 'post', 'delete', 'options', 'head', 'patch', 'trace'];
export function operations(api) {
  const out = [];
  for (const [path, item] of Object.entries(api.paths ?? {})) {
    for (const method of METHODS) {
      const op = item[method];
      if (!op) continue;
      const params = [...(item.parameters ?? []), ...(op.parameters ?? [])].map((p) => deref(api, p));
      out.push({ path, method, op, params });
    }
  }
  return out;
}

export function formatErrors(errors) {
  return (errors ?? []).map((e) => `${e.instancePath || '(root)'} ${e.message}` +
    (e.params && Object.keys(e.params).length ? ' ' + JSON.stringify(e.params) : '')).join('; ');
}
