// answers.test.mjs: real api_router answers against docs/openapi.yaml.
//
//   LMX_BUILD_DIR=<build> LMX_SOURCE_DIR=<repo> node tests/openapi/answers.test.mjs
//
// Runs requests on every route through a real lighttpd on loopback (the
// browser tests' harness: the project's configuration template, api_router
// as a CGI program, a fresh storage directory), and checks each answer
// against the file: the status must be one the operation lists, the
// content type one that status lists, a JSON body must fit that status's
// schema, and the headers the file says are required must be there. A
// request whose answer is 2xx must itself fit the file too (its query
// parameters are documented ones, its JSON body fits the request body's
// schema). Each case also names the status it expects, so a case cannot
// quietly turn into another, and may name members its answer must have
// (`has`) or hold (`equals`: the members of an object, or a whole array). Last, every operation of the file that is not
// marked x-lumidex-answers-untested must have been exercised.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { chmodSync } from 'node:fs';
import { join } from 'node:path';
import { startServer, stopServer } from '../browser/harness.mjs';
import { loadDescription, deref, schemaCompiler, operations, formatErrors, METHODS } from './description.mjs';

const api = loadDescription();
const { compile } = schemaCompiler(api);
const compiled = new Map();
function validatorOf(schema) {
  if (!compiled.has(schema)) compiled.set(schema, compile(schema));
  return compiled.get(schema);
}

// The operation of the file a request path answers to: a literal segment
// wins over a template, as OpenAPI matches paths.
const templates = Object.keys(api.paths).map((path) => {
  const parts = path.split('/').filter(Boolean);
  return { path, parts, literal: parts.filter((p) => !p.startsWith('{')).length };
}).sort((a, b) => b.literal - a.literal);
function templateOf(requestPath) {
  const parts = requestPath.split('?')[0].split('/').filter(Boolean);
  const found = templates.find((t) => t.parts.length === parts.length &&
    t.parts.every((p, i) => p.startsWith('{') || p === parts[i]));
  return found?.path;
}

const exercised = new Set();

// Checks one answer against the file; returns the list of disagreements.
function disagreements(c, res, text) {
  const template = templateOf(c.path);
  // A path no route of the file names, or a method its path does not list,
  // has the one answer the file gives for them.
  if (!template) return answerDisagreements(c, res, text, 'RouteNotFound', 404);
  const method = c.method.toLowerCase();
  const op = api.paths[template][method];
  if (!op) {
    return [...answerDisagreements(c, res, text, 'MethodNotAllowed', 405),
      ...allowDisagreements(template, res.headers.get('allow'))];
  }
  exercised.add(`${method} ${template}`);
  const response = deref(api, op.responses[String(res.status)]);
  if (!response) return [`${c.method} ${template} does not list status ${res.status}: ${text}`];
  const problems = responseDisagreements(response, res, text);
  if (res.status < 300) problems.push(...requestDisagreements(c, template, op));
  return problems;
}

function answerDisagreements(c, res, text, name, status) {
  if (res.status !== status) return [`a path or method the file does not list got ${res.status}, not ${status}: ${text}`];
  return responseDisagreements(api.components.responses[name], res, text);
}

// The Allow line of a 405 names the methods the file lists for the path
// (untested ones may be missing from it until they are built).
function allowDisagreements(template, allow) {
  const item = api.paths[template];
  const listed = Object.keys(item).filter((m) => METHODS.includes(m) && m !== 'options');
  const allowed = (allow ?? '').split(',').map((m) => m.trim().toLowerCase()).filter(Boolean);
  const problems = allowed.filter((m) => !listed.includes(m)).map((m) => `Allow names ${m}, the file does not`);
  for (const m of listed) {
    if (!allowed.includes(m) && !item[m]['x-lumidex-answers-untested']) problems.push(`Allow lacks ${m}`);
  }
  return problems;
}

// The answer's headers, content type and body against one response object.
function responseDisagreements(response, res, text) {
  const problems = [];
  for (const [name, header] of Object.entries(response.headers ?? {})) {
    const h = deref(api, header);
    const value = res.headers.get(name);
    if (value === null) {
      if (h.required) problems.push(`header ${name} missing`);
      continue;
    }
    if (h.schema && !validatorOf(h.schema)(value)) problems.push(`header ${name}: ${value}`);
  }
  const type = (res.headers.get('content-type') ?? '').split(';')[0].trim();
  if (!response.content) {
    if (text !== '') problems.push(`status ${res.status} has no content in the file, got ${type}: ${text}`);
    return problems;
  }
  const media = response.content[type];
  if (!media) return [...problems, `status ${res.status} does not list ${type}`];
  if (type === 'application/json') {
    let body;
    try { body = JSON.parse(text); } catch (e) { return [...problems, `not JSON: ${text}`]; }
    const validate = validatorOf(media.schema);
    if (!validate(body)) problems.push(`body: ${formatErrors(validate.errors)}: ${text.slice(0, 400)}`);
  }
  return problems;
}

// The request of a successful case must be one the file describes.
function requestDisagreements(c, template, op) {
  const problems = [];
  const params = [...(api.paths[template].parameters ?? []), ...(op.parameters ?? [])]
    .map((p) => deref(api, p)).filter((p) => p.in === 'query');
  const query = new URLSearchParams(c.path.split('?')[1] ?? '');
  for (const [name, value] of query) {
    const p = params.find((q) => q.name === name);
    if (!p) {
      problems.push(`query parameter ${name} is not in the file`);
      continue;
    }
    const typed = p.schema.type === 'integer' && /^[0-9]+$/.test(value) ? Number(value) : value;
    if (!validatorOf(p.schema)(typed)) problems.push(`query parameter ${name}=${value} does not fit`);
  }
  if (c.body !== undefined && typeof c.body !== 'string') {
    const media = deref(api, op.requestBody)?.content?.['application/json'];
    if (!media) problems.push('the operation takes no JSON body');
    else if (!validatorOf(media.schema)(c.body)) {
      problems.push(`request body: ${formatErrors(validatorOf(media.schema).errors)}`);
    }
  }
  return problems;
}

async function run(server, c) {
  const headers = { ...(c.headers ?? {}) };
  let body;
  if (c.body !== undefined) {
    body = typeof c.body === 'string' ? c.body : JSON.stringify(c.body);
    headers['Content-Type'] ??= 'application/json';
  }
  const res = await fetch(server.url + c.path, { method: c.method, headers, body, redirect: 'manual' });
  const text = (await res.text()).replace(/\n$/, '');
  const problems = disagreements(c, res, text);
  if (res.status !== c.status) problems.unshift(`expected status ${c.status}, got ${res.status}: ${text.slice(0, 300)}`);
  // The members a case is there to exercise must be in its answer.
  let answer = null;
  try { answer = JSON.parse(text); } catch { /* reported above */ }
  for (const member of c.has ?? []) {
    if (!answer || !(member in answer)) problems.push(`the answer lacks ${member}`);
  }
  if (c.equals !== undefined) problems.push(...valueDisagreements(c.equals, answer, text));
  return problems;
}

// An expected array is the whole answer; an expected object names members
// the answer must hold with those values (others are not compared).
function valueDisagreements(expected, body, text) {
  const same = (a, b) => JSON.stringify(a) === JSON.stringify(b);
  if (Array.isArray(expected)) return same(expected, body) ? [] : [`expected ${JSON.stringify(expected)}, got ${text}`];
  return Object.entries(expected)
    .filter(([member, value]) => !body || !same(body[member], value))
    .map(([member, value]) => `${member}: expected ${JSON.stringify(value)}, got ${text.slice(0, 400)}`);
}

async function runAll(server, cases) {
  const failures = [];
  for (const c of cases) {
    const problems = await run(server, c);
    if (problems.length) failures.push(`${c.method} ${c.path}:\n    ${problems.join('\n    ')}`);
  }
  assert.deepEqual(failures, []);
}

const ORIGIN = 'http://page.example';
const LONG = 'a'.repeat(128);
const BOOKS = [
  { id: '1', title: 'Dune', author: { name: 'Frank Herbert' }, year: 1965, price: 9.5, tags: ['sf', 'desert'] },
  { id: '2', title: 'Dune Messiah', author: { name: 'Frank Herbert' }, year: 1969, price: 1.50 },
  { id: '3', title: 'Emma', author: { name: 'Jane Austen' }, year: 1815 },
];

let server;
before(async () => { server = await startServer({ LUMIDEX_CORS_ORIGINS: ORIGIN }); });
after(async () => { await stopServer(server); });

test('pages, status and health', () => runAll(server, [
  { method: 'GET', path: '/', status: 200 },
  { method: 'GET', path: '/index', status: 200 },
  { method: 'POST', path: '/', body: '{}', status: 405 },
  { method: 'DELETE', path: '/index', status: 405 },
  { method: 'GET', path: '/status', status: 200 },
  { method: 'GET', path: '/status?format=json', status: 200 },
  { method: 'GET', path: '/health', status: 200 },
  { method: 'POST', path: '/health', body: '', status: 405 },
]));

test('indexes', () => runAll(server, [
  { method: 'GET', path: '/indexes', status: 200 },
  { method: 'POST', path: '/indexes', body: { uid: 'books', primaryKey: 'id' }, status: 201 },
  { method: 'POST', path: '/indexes', body: { uid: 'books' }, status: 400 },
  { method: 'POST', path: '/indexes', body: {}, status: 400 },
  { method: 'POST', path: '/indexes?name=films', status: 201 },
  { method: 'POST', path: '/indexes/notes', body: { primaryKey: 'key' }, status: 201 },
  { method: 'POST', path: '/indexes/bad%20name', status: 400 },
  { method: 'PUT', path: '/indexes', body: {}, status: 405 },
  { method: 'DELETE', path: '/indexes', status: 400 },
  { method: 'GET', path: '/indexes', status: 200 },
  { method: 'GET', path: '/indexes/books', status: 200 },
  { method: 'GET', path: '/indexes/nope', status: 404 },
  { method: 'GET', path: `/indexes/${LONG}`, status: 400 },
  { method: 'GET', path: `/indexes/${'b'.repeat(120)}/${'c'.repeat(120)}/${'d'.repeat(120)}/${'e'.repeat(120)}/x`, status: 404 },
  { method: 'DELETE', path: '/indexes/notes', status: 200 },
  { method: 'DELETE', path: '/indexes/notes', status: 404 },
]));

test('documents', () => runAll(server, [
  { method: 'POST', path: '/indexes/books/documents', body: BOOKS, status: 200 },
  { method: 'POST', path: '/indexes/books/documents', body: { id: '4', title: 'Persuasion' }, status: 200 },
  { method: 'POST', path: '/indexes/books/documents', body: '{"id":"5","title":"Sanditon"}\n{"id":"6","title":"Lady Susan"}\n',
    headers: { 'Content-Type': 'application/x-ndjson' }, status: 200 },
  { method: 'POST', path: '/indexes/books/documents', body: '', status: 400 },
  { method: 'POST', path: '/indexes/books/documents', body: '[{"id":', status: 400 },
  { method: 'POST', path: '/indexes/books/documents', body: '[' + '['.repeat(250001) + ']'.repeat(250001) + ']', status: 400 },
  { method: 'GET', path: '/indexes/books/documents', status: 200 },
  { method: 'GET', path: '/indexes/nope/documents', status: 200 },
  { method: 'GET', path: '/indexes/books/documents/2', status: 200 },
  { method: 'GET', path: '/indexes/books/documents/99', status: 404 },
  { method: 'GET', path: `/indexes/books/documents/${LONG}`, status: 400 },
  { method: 'DELETE', path: '/indexes/books/documents/6', status: 200 },
  { method: 'DELETE', path: '/indexes/books/documents/6', status: 404 },
  { method: 'PUT', path: '/indexes/books/documents/1', body: {}, status: 405 },
  { method: 'PATCH', path: '/indexes/books', body: {}, status: 405 },
  { method: 'POST', path: '/indexes/books/documents/ignored', body: [{ id: '7', title: 'Sense and Sensibility' }], status: 200 },
]));

test('search', () => runAll(server, [
  { method: 'GET', path: '/indexes/books/search', status: 200 },
  { method: 'GET', path: '/indexes/books/search?q=dune&limit=1&offset=1', status: 200 },
  { method: 'GET', path: '/indexes/books/search?q=herbert+dune&matchingStrategy=all&limit=5000', status: 200 },
  { method: 'GET', path: '/indexes/books/search?q=caf%C3%A9+%22dune+messiah%22+-emma', status: 200 },
  { method: 'GET', path: '/nowhere', status: 404 },
  { method: 'DELETE', path: '/indexes/books/search/more', status: 404 },
  { method: 'GET', path: '/indexes/books/search?q=dune&lang=en', status: 400 },
  { method: 'GET', path: '/indexes/books/search?q=dune&q=emma', status: 400 },
  { method: 'GET', path: '/indexes/books/search?limit=-1', status: 400 },
  { method: 'GET', path: '/indexes/books/search?matchingStrategy=some', status: 400 },
  { method: 'GET', path: '/indexes/nope/search?q=x', status: 404 },
  { method: 'POST', path: '/indexes/books/search', body: { q: 'emma', limit: 10, offset: 0, matchingStrategy: 'most' }, status: 200 },
  { method: 'POST', path: '/indexes/books/search', body: '', status: 200 },
  { method: 'POST', path: '/indexes/books/search?q=dune', body: { q: 'dune' }, status: 400 },
  { method: 'POST', path: '/indexes/books/search', body: [1], status: 400 },
  { method: 'POST', path: '/indexes/books/search', body: { query: 'dune' }, status: 400 },
]));

test('statistics and settings', () => runAll(server, [
  { method: 'GET', path: '/indexes/books/stats', status: 200 },
  { method: 'GET', path: '/indexes/nope/stats', status: 404 },
  { method: 'GET', path: '/indexes/books/settings', status: 200 },
  { method: 'PATCH', path: '/indexes/books/settings',
    body: { searchableAttributes: ['title', 'author.name'], displayedAttributes: ['title', 'year'], language: 'en',
      stopWords: ['the'], synonyms: { sf: ['science fiction'] } }, status: 200 },
  { method: 'GET', path: '/indexes/books/search?q=dune', status: 200 },
  { method: 'PATCH', path: '/indexes/books/settings', body: { language: null }, status: 200 },
  { method: 'PATCH', path: '/indexes/books/settings', body: { rankingRules: [] }, status: 400 },
  { method: 'PATCH', path: '/indexes/books/settings', body: '[]', status: 400 },
  { method: 'PATCH', path: '/indexes/nope/settings', body: { language: 'en' }, status: 404 },
  { method: 'DELETE', path: '/indexes/books/settings', status: 200 },
  { method: 'PUT', path: '/indexes/books/settings', body: {}, status: 405 },
  { method: 'GET', path: '/indexes/nope/settings', status: 404 },
]));

test('filters, sorts and facets', () => runAll(server, [
  { method: 'PATCH', path: '/indexes/books/settings',
    body: { filterableAttributes: ['author.name', 'year', 'tags'], sortableAttributes: ['year', 'price'] }, status: 200 },
  { method: 'GET', path: '/indexes/books/settings', status: 200, has: ['filterableAttributes', 'sortableAttributes'] },
  { method: 'GET', path: '/indexes/books/search?q=dune&filter=year+%3E+1900&sort=year:desc,price:asc&facets=tags,year',
    status: 200, has: ['facetDistribution', 'facetStats'] },
  { method: 'GET', path: '/indexes/books/search?facets=*&limit=0', status: 200, has: ['facetDistribution'] },
  { method: 'POST', path: '/indexes/books/search',
    body: { q: 'dune', filter: ['year > 1900', ['tags = sf', 'author.name = "Frank Herbert"']], sort: ['price:asc'], facets: ['*'] },
    status: 200, has: ['facetDistribution', 'facetStats'] },
  { method: 'POST', path: '/indexes/books/search', body: { filter: 'tags EXISTS', facets: ['author.name'] }, status: 200 },
  { method: 'GET', path: '/indexes/books/search?filter=year+%3D', status: 400 },
  { method: 'GET', path: '/indexes/books/search?filter=title+%3D+Emma', status: 400 },
  { method: 'POST', path: '/indexes/books/search', body: { sort: ['title:asc'] }, status: 400 },
  { method: 'POST', path: '/indexes/books/search', body: { sort: 'year:desc' }, status: 400 },
  { method: 'POST', path: '/indexes/books/search', body: { facets: ['title'] }, status: 400 },
  { method: 'PATCH', path: '/indexes/books/settings', body: { sortableAttributes: 'year' }, status: 400 },
]));

// The listing's parameters, partial updates and the deletions of many
// documents, on an index of their own.
const SHELF = '/indexes/shelf/documents';
test('listing, updating and deleting documents', () => runAll(server, [
  { method: 'POST', path: SHELF, body: BOOKS, status: 200 },
  { method: 'PATCH', path: '/indexes/shelf/settings', body: { filterableAttributes: ['year', 'tags'] }, status: 200 },
  { method: 'GET', path: `${SHELF}?limit=1&offset=1`, status: 200, equals: [BOOKS[1]] },
  { method: 'GET', path: `${SHELF}?fields=title,author.name&filter=year+%3C+1900`, status: 200,
    equals: [{ id: '3', title: 'Emma', author: { name: 'Jane Austen' } }] },
  { method: 'GET', path: `${SHELF}?limit=0`, status: 400, equals: { code: 'invalid_document_parameter' } },
  { method: 'GET', path: `${SHELF}?limit=1001`, status: 400, equals: { code: 'invalid_document_parameter' } },
  { method: 'GET', path: `${SHELF}?limit=1&limit=2`, status: 400, equals: { code: 'invalid_document_parameter' } },
  { method: 'GET', path: `${SHELF}?sort=year`, status: 400, equals: { code: 'invalid_document_parameter' } },
  { method: 'GET', path: `${SHELF}?filter=year+%3D`, status: 400, equals: { code: 'invalid_document_filter' } },
  { method: 'GET', path: `${SHELF}?filter=title+%3D+Emma`, status: 400, equals: { code: 'invalid_document_filter' } },
  { method: 'PATCH', path: SHELF, body: [{ id: '1', price: 8 }, { id: '8', title: 'Middlemarch' }], status: 200,
    equals: { type: 'documentAdditionOrUpdate', updated: 2 } },
  { method: 'PATCH', path: SHELF, body: '{"id":"2","year":1970}\n{"id":"3","tags":["novel"]}\n',
    headers: { 'Content-Type': 'application/x-ndjson' }, status: 200, equals: { updated: 2 } },
  { method: 'GET', path: `${SHELF}?fields=year,price&filter=year+%3E%3D+1965`, status: 200,
    equals: [{ id: '1', year: 1965, price: 8 }, { id: '2', year: 1970, price: 1.50 }] },
  { method: 'PATCH', path: SHELF, body: '', status: 400, equals: { code: 'missing_payload' } },
  { method: 'PATCH', path: `${SHELF}?limit=1`, body: [{ id: '1' }], status: 400, equals: { code: 'invalid_document_parameter' } },
  // A number names the document whose id is written alike; ids not there
  // or given twice count once or not at all.
  { method: 'POST', path: `${SHELF}/delete-batch`, body: ['2', 'missing', '2', 8], status: 200,
    equals: { type: 'documentDeletion', deleted: 2 } },
  { method: 'POST', path: `${SHELF}/delete-batch`, body: { ids: ['1'] }, status: 400, equals: { code: 'invalid_document_ids' } },
  { method: 'POST', path: `${SHELF}/delete-batch`, body: '', status: 400, equals: { code: 'missing_payload' } },
  { method: 'POST', path: `${SHELF}/delete`, body: { filter: 'year < 1900' }, status: 200, equals: { deleted: 1 } },
  { method: 'POST', path: `${SHELF}/delete`, body: { filter: 'title = Emma' }, status: 400, equals: { code: 'invalid_document_filter' } },
  { method: 'POST', path: `${SHELF}/delete`, body: ['year < 1900'], status: 400, equals: { code: 'invalid_document_filter' } },
  { method: 'POST', path: `${SHELF}/delete?x=1`, body: { filter: 'year < 1900' }, status: 400,
    equals: { code: 'invalid_document_parameter' } },
  { method: 'GET', path: `${SHELF}?fields=title`, status: 200, equals: [{ id: '1', title: 'Dune' }] },
  { method: 'DELETE', path: `${SHELF}?all=true`, status: 400, equals: { code: 'invalid_document_parameter' } },
  { method: 'DELETE', path: SHELF, status: 200, equals: { deleted: 1 } },
  { method: 'DELETE', path: SHELF, status: 200, equals: { deleted: 0 } },
  { method: 'GET', path: SHELF, status: 200, equals: [] },
  { method: 'DELETE', path: '/indexes/nope/documents', status: 404 },
  { method: 'POST', path: '/indexes/nope/documents/delete-batch', body: ['1'], status: 404 },
]));

// What each hit carries and how the total is told.
test('hits and totals', () => runAll(server, [
  { method: 'GET', path: '/indexes/books/search?q=emma&attributesToRetrieve=title,year&highlight=false', status: 200,
    equals: { hits: [{ id: '3', title: 'Emma', year: 1815 }], total_hits: 1, total_hits_exact: true } },
  { method: 'GET', path: '/indexes/books/search?q=emma&attributesToRetrieve=', status: 200,
    equals: { hits: [{ id: '3', _highlighted: { id: '3' } }] } },
  // Cropped in _highlighted, or in the hit itself without highlighting.
  { method: 'GET', path: '/indexes/books/search?q=messiah&attributesToRetrieve=title&attributesToCrop=title&cropLength=1',
    status: 200,
    equals: { hits: [{ id: '2', title: 'Dune Messiah', _highlighted: { id: '2', title: '…<em>Messiah</em>' } }], total_hits_exact: true } },
  { method: 'POST', path: '/indexes/books/search',
    body: { q: 'messiah', attributesToRetrieve: ['title'], attributesToCrop: ['title'], cropLength: 1, highlight: false },
    status: 200, equals: { hits: [{ id: '2', title: '…Messiah' }], total_hits: 1, total_hits_exact: true } },
  { method: 'GET', path: '/indexes/books/search?cropLength=0', status: 400, equals: { code: 'invalid_search_parameter' } },
  { method: 'GET', path: '/indexes/books/search?cropLength=1001', status: 400, equals: { code: 'invalid_search_parameter' } },
  { method: 'GET', path: '/indexes/books/search?highlight=no', status: 400, equals: { code: 'invalid_search_parameter' } },
  { method: 'GET', path: '/indexes/books/search?attributesToRetrieve=title,title', status: 400,
    equals: { code: 'invalid_search_parameter' } },
  { method: 'POST', path: '/indexes/books/search', body: { highlight: 'false' }, status: 400,
    equals: { code: 'invalid_search_parameter' } },
]));

test('cross-origin preflights', () => runAll(server, [
  { method: 'OPTIONS', path: '/indexes/books/search', headers: { Origin: ORIGIN, 'Access-Control-Request-Method': 'POST' }, status: 204 },
  { method: 'OPTIONS', path: '/indexes/books/settings', headers: { Origin: ORIGIN }, status: 204 },
  { method: 'OPTIONS', path: '/indexes', headers: { Origin: 'http://elsewhere.example' }, status: 403 },
  { method: 'OPTIONS', path: '/health', headers: { Origin: ORIGIN }, status: 204 },
  { method: 'OPTIONS', path: '/indexes/books', headers: { Origin: ORIGIN }, status: 204 },
  { method: 'OPTIONS', path: '/indexes/books/documents', headers: { Origin: ORIGIN }, status: 204 },
  { method: 'OPTIONS', path: '/indexes/books/documents/1', headers: { Origin: ORIGIN }, status: 204 },
  { method: 'OPTIONS', path: '/indexes/books/stats', headers: { Origin: ORIGIN }, status: 204 },
]));

test('keys, configuration and storage failures', async () => {
  const keys = { LUMIDEX_WRITE_KEY: 'write-openapi-1', LUMIDEX_READ_KEY: 'read-openapi-2' };
  const keyed = await startServer(keys);
  const misconfigured = await startServer({ LUMIDEX_LOG: 'everything' });
  const broken = await startServer();
  try {
    // The engine refuses a storage directory anyone may write to.
    chmodSync(join(broken.dir, 'storage'), 0o777);
    await runAll(keyed, [
      { method: 'GET', path: '/indexes', status: 401 },
      { method: 'GET', path: '/indexes/books/search?q=x', headers: { 'X-Lumidex-Key': 'wrong' }, status: 401 },
      { method: 'POST', path: '/indexes/books/documents', body: BOOKS, headers: { 'X-Lumidex-Key': keys.LUMIDEX_READ_KEY }, status: 401 },
      { method: 'POST', path: '/indexes/books/documents', body: BOOKS, headers: { 'X-Lumidex-Key': keys.LUMIDEX_WRITE_KEY }, status: 200 },
      { method: 'GET', path: '/indexes/books/stats', headers: { 'X-Lumidex-Key': keys.LUMIDEX_READ_KEY }, status: 200 },
      { method: 'GET', path: '/health', status: 200 },
      { method: 'GET', path: '/', status: 200 },
    ]);
    await runAll(misconfigured, [
      { method: 'GET', path: '/indexes', status: 500 },
      { method: 'GET', path: '/health', status: 500 },
    ]);
    await runAll(broken, [
      { method: 'GET', path: '/health', status: 503 },
      { method: 'GET', path: '/indexes/books/search?q=x', status: 500 },
    ]);
  } finally {
    await stopServer(keyed);
    await stopServer(misconfigured);
    await stopServer(broken);
  }
});

test('every operation the file does not mark as untested was exercised', () => {
  const missing = operations(api)
    .filter(({ op }) => !op['x-lumidex-answers-untested'])
    .map(({ path, method }) => `${method} ${path}`)
    .filter((key) => !exercised.has(key));
  assert.deepEqual(missing, []);
});
