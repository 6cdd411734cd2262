// cors.test.mjs: pages of another origin calling the API in a real browser,
// with and without their origin in LUMIDEX_CORS_ORIGINS.
//
//   LMX_BUILD_DIR=<build> LMX_SOURCE_DIR=<repo> node tests/browser/cors.test.mjs
//
// The API runs behind lighttpd on one loopback port; two small pages are
// served by node's http module on two other loopback ports, so each is an
// origin of its own. Each page's script calls the API with fetch, and the
// test reads what the browser let through: the answer, or the refusal that
// the page sees when the API's answer does not name its origin. A write from
// a page whose origin is not listed must never reach the program: the
// browser's preflight is refused, so the request itself is never sent.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { createServer } from 'node:http';
import {
  freePort, startServer, stopServer, post, launch, closeBrowser, openPage,
} from './harness.mjs';

const KEY = 'cors-write-key-5e1b';

// A page server on a free loopback port: "/" is an empty page whose script
// the test drives through page.evaluate.
async function startPage() {
  const server = createServer((req, res) => {
    res.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
    res.end('<!DOCTYPE html><title>other origin</title><p>other origin</p>');
  });
  const port = await freePort();
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, '127.0.0.1', resolve);
  });
  return { server, origin: `http://127.0.0.1:${port}` };
}

function stopPage(p) {
  if (!p) return Promise.resolve();
  return new Promise((resolve) => p.server.close(resolve));
}

// Runs one fetch in the page and reports what the page could see.
function fetchFrom(page, url, init) {
  return page.evaluate(async ({ url, init }) => {
    try {
      const res = await fetch(url, init);
      return { sent: true, status: res.status, body: await res.text() };
    } catch (e) {
      return { sent: false, error: String(e) };
    }
  }, { url, init });
}

const addDoc = (id) => ({
  method: 'POST',
  headers: { 'Content-Type': 'application/json', 'X-Lumidex-Key': KEY },
  body: JSON.stringify({ id, title: `added from a page ${id}` }),
});

let listed, unlisted, api, plainApi, browser;

before(async () => {
  listed = await startPage();
  unlisted = await startPage();
  api = await startServer({ LUMIDEX_CORS_ORIGINS: listed.origin, LUMIDEX_WRITE_KEY: KEY });
  plainApi = await startServer({ LUMIDEX_WRITE_KEY: KEY });
  for (const s of [api, plainApi]) {
    await post(s, '/indexes/books/documents', { id: 'dune', title: 'Dune' }, KEY);
  }
  browser = await launch();
});

after(async () => {
  await closeBrowser(browser);
  await stopServer(api);
  await stopServer(plainApi);
  await stopPage(listed);
  await stopPage(unlisted);
});

async function pageAt(origin) {
  const opened = await openPage(browser);
  await opened.page.goto(origin + '/');
  return opened;
}

async function documentExists(server, id) {
  const res = await fetch(`${server.url}/indexes/books/documents/${id}`);
  return res.status === 200;
}

test('a listed origin reads searches and writes with the key', async () => {
  const { page, problems } = await pageAt(listed.origin);
  const search = await fetchFrom(page, `${api.url}/indexes/books/search?q=dune`);
  assert.equal(search.sent, true, search.error);
  assert.equal(search.status, 200);
  assert.equal(JSON.parse(search.body).hits[0].id, 'dune');

  // Content-Type JSON and the key header make the browser ask first.
  const write = await fetchFrom(page, `${api.url}/indexes/books/documents`, addDoc('from-listed'));
  assert.equal(write.sent, true, write.error);
  assert.equal(write.status, 200, write.body);
  assert.equal(await documentExists(api, 'from-listed'), true);

  // A refusal is readable too, so the page can tell a missing key.
  const refused = await fetchFrom(page, `${api.url}/indexes/books/documents`, {
    method: 'POST', headers: { 'Content-Type': 'application/json' }, body: '{"id":"x"}',
  });
  assert.equal(refused.status, 401);
  assert.equal(JSON.parse(refused.body).code, 'unauthorized');
  assert.deepEqual(problems, []);
  await page.close();
});

test('an origin not listed can neither read nor write', async () => {
  const { page } = await pageAt(unlisted.origin);
  const search = await fetchFrom(page, `${api.url}/indexes/books/search?q=dune`);
  assert.equal(search.sent, false, `the page read: ${search.body}`);
  assert.match(search.error, /TypeError/);

  const write = await fetchFrom(page, `${api.url}/indexes/books/documents`, addDoc('from-unlisted'));
  assert.equal(write.sent, false);
  assert.equal(await documentExists(api, 'from-unlisted'), false);
  await page.close();
});

test('without LUMIDEX_CORS_ORIGINS no other origin gets through', async () => {
  const { page } = await pageAt(listed.origin);
  const search = await fetchFrom(page, `${plainApi.url}/indexes/books/search?q=dune`);
  assert.equal(search.sent, false, `the page read: ${search.body}`);

  const write = await fetchFrom(page, `${plainApi.url}/indexes/books/documents`, addDoc('from-plain'));
  assert.equal(write.sent, false);
  assert.equal(await documentExists(plainApi, 'from-plain'), false);
  await page.close();
});
