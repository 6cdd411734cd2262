// sandbox.test.mjs: the search sandbox in a real browser, through a real
// lighttpd on loopback.
//
//   LMX_BUILD_DIR=<build> LMX_SOURCE_DIR=<repo> [LMX_ARTIFACTS=<dir>] \
//     node tests/browser/sandbox.test.mjs
//
// Each test starts lighttpd on a free 127.0.0.1 port with the project's
// configuration template and the built api_router, fills a fresh storage
// directory through the HTTP API, and drives Debian's chromium (headless,
// through playwright-core) the way a person would: pick an index, type a
// query letter by letter, read the highlighted hits, page, open the status
// page. Screenshots of the sandbox and the status page are written to
// LMX_ARTIFACTS (default <build>/artifacts).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import {
  buildDir, sleep, startServer, stopServer, post, launch, closeBrowser, openPage,
} from './harness.mjs';

const artifacts = process.env.LMX_ARTIFACTS || join(buildDir, 'artifacts');
mkdirSync(artifacts, { recursive: true });

// 25 books about dunes so that a search spans three pages, a few others,
// and one whose text is markup that must never run.
const BOOKS = [
  ...Array.from({ length: 25 }, (_, i) => ({
    id: `dune-${i + 1}`, title: `Dune chronicle ${i + 1}`, author: 'Frank Herbert', year: 1965 + i,
  })),
  { id: 'emma', title: 'Emma', author: 'Jane Austen', year: 1815 },
  { id: 'hostile', title: '<img src=x onerror="window.__pwned=1;alert(1)"> sandworm tale',
    author: '<script>window.__pwned=2</script>', year: 2000 },
];
const FILMS = [{ id: 'f1', name: 'Lawrence of Arabia', director: 'David Lean' }];
// Searched by a nested field first: the title comes from there, not from
// the first member (the id).
const PAPERS = [
  { id: 'p1', code: 'X-1', meta: { heading: 'Sandworm ecology', pages: 12 } },
  { id: 'p2', code: 'X-2', meta: [{ heading: 'Spice and sandworm trade' }] },
  { id: 'p3', code: 'sandworm', meta: {} },
];

let server;
let browser;

before(async () => {
  server = await startServer();
  await post(server, '/indexes/books/documents', BOOKS);
  await post(server, '/indexes/films/documents', FILMS);
  await post(server, '/indexes/papers/documents', PAPERS);
  const res = await fetch(server.url + '/indexes/papers/settings', {
    method: 'PATCH', headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ searchableAttributes: ['meta.heading', 'code'] }),
  });
  assert.equal(res.status, 200, await res.text());
  browser = await launch();
});

after(async () => {
  await closeBrowser(browser);
  await stopServer(server);
});

test('typing a query shows highlighted hits, a count and pages', async () => {
  const { page, problems } = await openPage(browser);
  await page.goto(server.url + '/');
  await page.waitForSelector('#index option[value="books"]', { state: 'attached' });
  assert.deepEqual(await page.locator('#index option').allTextContents(), ['books', 'films', 'papers']);
  await page.selectOption('#index', 'books');

  await page.locator('#q').pressSequentially('dune', { delay: 70 });
  await page.waitForFunction(() => document.querySelectorAll('#hits .hit').length === 10 &&
    document.querySelector('#hits em') !== null);
  const summary = await page.textContent('#summary');
  assert.match(summary, /^25 results in [0-9.]+ ms$/);
  assert.equal((await page.locator('#hits em').first().textContent()).toLowerCase(), 'dune');
  assert.equal(await page.textContent('#page'), 'Page 1 of 3');
  assert.equal(await page.isDisabled('#prev'), true);
  const firstPage = await page.locator('#hits h2').allTextContents();
  await page.screenshot({ path: join(artifacts, 'sandbox.png'), fullPage: true });

  await page.click('#next');
  await page.waitForFunction(() => document.querySelector('#page').textContent === 'Page 2 of 3');
  await page.waitForFunction((first) => document.querySelector('#hits h2').textContent !== first,
    firstPage[0]);
  const secondPage = await page.locator('#hits h2').allTextContents();
  assert.equal(secondPage.length, 10);
  assert.equal(secondPage.filter((t) => firstPage.includes(t)).length, 0);
  assert.equal(await page.isDisabled('#prev'), false);

  await page.click('#next');
  await page.waitForFunction(() => document.querySelector('#page').textContent === 'Page 3 of 3');
  assert.equal(await page.locator('#hits .hit').count(), 5);
  assert.equal(await page.isDisabled('#next'), true);

  // Another index, and a query it cannot match.
  await page.selectOption('#index', 'films');
  await page.locator('#q').fill('');
  await page.locator('#q').pressSequentially('zzzqqq', { delay: 30 });
  await page.waitForFunction(() => !document.querySelector('#state').hidden &&
    document.querySelector('#state').textContent.includes('zzzqqq'));
  assert.match(await page.textContent('#state'), /No documents in “films” match “zzzqqq”/);
  assert.equal(await page.locator('#hits .hit').count(), 0);
  assert.deepEqual(problems, []);
  await page.close();
});

test('the title comes from the first searchable attribute', async () => {
  const { page, problems } = await openPage(browser);
  const settingsAsked = [];
  page.on('request', (req) => {
    if (req.url().endsWith('/settings')) settingsAsked.push(new URL(req.url()).pathname);
  });
  await page.goto(server.url + '/?index=papers');
  await page.waitForSelector('#index option[value="papers"]', { state: 'attached' });
  await page.locator('#q').pressSequentially('sandworm', { delay: 40 });
  await page.waitForFunction(() => document.querySelectorAll('#hits .hit').length === 3 &&
    document.querySelector('#summary').textContent.startsWith('3 results'));
  const titles = await page.locator('#hits h2').allTextContents();
  // meta.heading, through an object and through an array; a hit without it
  // falls back to its first text member.
  assert.deepEqual([...titles].sort(), ['Sandworm ecology', 'Spice and sandworm trade', 'p3']);
  assert.equal(await page.locator('#hits h2 em').first().textContent(), 'Sandworm');
  // Typing on, and another index and back: the settings were asked once
  // per index.
  await page.locator('#q').pressSequentially(' ecology', { delay: 40 });
  // The paper holding both words comes first; those holding one follow.
  await page.waitForFunction(() => document.querySelector('#hits h2') &&
    document.querySelector('#hits h2').textContent === 'Sandworm ecology' &&
    document.querySelector('#summary').textContent.startsWith('3 results'));
  await page.selectOption('#index', 'books');
  await page.waitForFunction(() => document.querySelector('#summary').textContent.startsWith('0 results') ||
    document.querySelectorAll('#hits .hit').length > 0 || !document.querySelector('#state').hidden);
  await page.selectOption('#index', 'papers');
  await page.waitForFunction(() => document.querySelector('#hits h2') &&
    document.querySelector('#hits h2').textContent === 'Sandworm ecology');
  assert.deepEqual(settingsAsked.sort(), ['/indexes/books/settings', '/indexes/papers/settings']);
  await page.screenshot({ path: join(artifacts, 'sandbox-title.png'), fullPage: true });
  assert.deepEqual(problems, []);
  await page.close();
});

test('markup in documents is shown as text and never runs', async () => {
  const { page, problems } = await openPage(browser);
  await page.goto(server.url + '/?index=books');
  await page.waitForSelector('#index option[value="books"]', { state: 'attached' });
  await page.locator('#q').pressSequentially('sandworm', { delay: 40 });
  await page.waitForFunction(() => document.querySelectorAll('#hits .hit').length === 1);
  // The first string field (the id) is the title; the others follow.
  assert.equal(await page.textContent('#hits h2'), 'hostile');
  const values = await page.locator('#hits dd').allTextContents();
  assert.ok(values.includes('<img src=x onerror="window.__pwned=1;alert(1)"> sandworm tale'), values.join('|'));
  assert.ok(values.includes('<script>window.__pwned=2</script>'), values.join('|'));
  assert.equal(await page.locator('#hits img, #hits script').count(), 0);
  assert.equal(await page.locator('#hits dd em').textContent(), 'sandworm');
  await sleep(300); // an image error handler would have fired by now
  assert.equal(await page.evaluate(() => window.__pwned), undefined);
  assert.deepEqual(problems, []);
  await page.close();
});

test('an answer to an older query never replaces a newer one', async () => {
  const { page, problems } = await openPage(browser);
  // Every search the page has finished handling (its answer parsed and its
  // handler run, or its request failed), by query: a task queued once the
  // answer's text is read runs after the page's own handlers of it.
  await page.addInitScript(() => {
    window.__handled = [];
    const fetch0 = window.fetch;
    window.fetch = (...args) => {
      // Searches are POSTs whose JSON body holds the query.
      const q = args[1] && typeof args[1].body === 'string' ? JSON.parse(args[1].body).q : null;
      const done = () => setTimeout(() => window.__handled.push(q), 0);
      const p = fetch0(...args);
      p.then((res) => {
        const text0 = res.text.bind(res);
        res.text = () => text0().finally(done);
      }, done);
      return p;
    };
  });
  // Hold back the answer for "dun" (25 books, dune-1 first) until the one
  // for "dune chronicle 12" (dune-12 first: the one book holding every
  // word, then the others holding some) is shown.
  let dunSent;
  const dunHeld = new Promise((r) => { dunSent = r; });
  let release;
  const released = new Promise((r) => { release = r; });
  await page.route('**/indexes/books/search', async (route) => {
    if (JSON.parse(route.request().postData() || '{}').q === 'dun') {
      dunSent();
      await released;
    }
    await route.continue().catch(() => {});
  });
  await page.goto(server.url + '/?index=books');
  await page.waitForSelector('#index option[value="books"]', { state: 'attached' });
  await page.locator('#q').pressSequentially('dun', { delay: 30 });
  await dunHeld; // past the debounce: the request for "dun" is on its way
  await page.locator('#q').pressSequentially('e chronicle 12', { delay: 30 });
  await page.waitForFunction(() => document.querySelector('#hits h2')?.textContent === 'dune-12');
  release();
  // The held-back answer has come (or its request was dropped) and the page
  // is done with it.
  await page.waitForFunction(() => window.__handled.includes('dun'));
  assert.equal(await page.textContent('#hits h2'), 'dune-12');
  assert.deepEqual(problems, []);
  await page.close();
});

test('the status page is one click away', async () => {
  const { page, problems } = await openPage(browser);
  await page.goto(server.url + '/');
  await page.click('#status-link');
  await page.waitForURL(server.url + '/status');
  assert.equal(await page.textContent('h1'), 'Nolvaris Lumidex Server');
  assert.match(await page.textContent('.badge'), /Available/);
  await page.screenshot({ path: join(artifacts, 'status.png'), fullPage: true });
  await page.click('a[href="/"]');
  await page.waitForSelector('#index option[value="books"]', { state: 'attached' });
  assert.deepEqual(problems, []);
  await page.close();
});

test('a server with a read key gets the key asked for once per session', async () => {
  const keys = { LUMIDEX_WRITE_KEY: 'write-9d2c', LUMIDEX_READ_KEY: 'read-51fe' };
  const guarded = await startServer(keys);
  try {
    await post(guarded, '/indexes/books/documents', BOOKS.slice(0, 3), keys.LUMIDEX_WRITE_KEY);
    const { page, problems } = await openPage(browser);
    await page.goto(guarded.url + '/');
    await page.waitForSelector('#key-form', { state: 'visible' });
    assert.match(await page.textContent('#state'), /access key is needed/);

    await page.fill('#key', 'not-the-key');
    await page.click('#key-save');
    await page.waitForFunction(() => document.querySelector('#key-note').textContent.includes('not accepted'));
    assert.equal(await page.isVisible('#key-form'), true);

    await page.fill('#key', keys.LUMIDEX_READ_KEY);
    await page.click('#key-save');
    await page.waitForSelector('#index option[value="books"]', { state: 'attached' });
    await page.locator('#q').pressSequentially('dune', { delay: 40 });
    await page.waitForFunction(() => document.querySelectorAll('#hits .hit').length === 3);
    assert.equal(await page.evaluate(() => sessionStorage.getItem('lumidex-key')), keys.LUMIDEX_READ_KEY);
    assert.equal(await page.evaluate(() => localStorage.length), 0);

    // A reload in the same tab keeps the key: no question asked again.
    await page.reload();
    await page.waitForSelector('#index option[value="books"]', { state: 'attached' });
    assert.equal(await page.isVisible('#key-form'), false);
    assert.ok(!readFileSync(join(guarded.dir, 'error.log'), 'utf8').includes(keys.LUMIDEX_READ_KEY));
    assert.deepEqual(problems, []);
    await page.close();
  } finally {
    await stopServer(guarded);
  }
});

// The page's state as the address bar holds it.
async function urlState(page) {
  const params = new URL(page.url()).searchParams;
  return Object.fromEntries([...new Set(params.keys())].map((k) => [k, params.getAll(k).join('|')]));
}

test('the query, index and page live in the URL, so a reload or a shared link shows the same results', async () => {
  const { page, problems } = await openPage(browser);
  await page.goto(server.url + '/');
  await page.waitForSelector('#index option[value="books"]', { state: 'attached' });
  const entries = await page.evaluate(() => history.length);
  await page.selectOption('#index', 'books');
  await page.locator('#q').pressSequentially('dune', { delay: 40 });
  // "d" and "du" find the same 25 books: the address tells which was asked.
  await page.waitForFunction(() => new URL(location.href).searchParams.get('q') === 'dune' &&
    document.querySelectorAll('#hits .hit').length === 10 &&
    document.querySelector('#summary').textContent.startsWith('25 results'));
  assert.deepEqual(await urlState(page), { index: 'books', q: 'dune' });
  await page.click('#next');
  await page.waitForFunction(() => document.querySelector('#page').textContent === 'Page 2 of 3');
  assert.deepEqual(await urlState(page), { index: 'books', q: 'dune', page: '2' });
  const secondPage = await page.locator('#hits h2').allTextContents();
  const link = page.url();

  // Nothing but the address bar carries the state into a reload.
  await page.reload();
  await page.waitForFunction(() => document.querySelector('#page').textContent === 'Page 2 of 3');
  assert.equal(await page.inputValue('#q'), 'dune');
  assert.equal(await page.inputValue('#index'), 'books');
  assert.deepEqual(await page.locator('#hits h2').allTextContents(), secondPage);
  // No history entry per keystroke or page.
  assert.equal(await page.evaluate(() => history.length), entries);

  const shared = await openPage(browser);
  await shared.page.goto(link);
  await shared.page.waitForFunction(() => document.querySelector('#page').textContent === 'Page 2 of 3');
  assert.deepEqual(await shared.page.locator('#hits h2').allTextContents(), secondPage);
  assert.match(await shared.page.textContent('#summary'), /^25 results in /);
  assert.deepEqual(shared.problems, []);
  await shared.page.close();

  // A new query starts at its first page; another index drops the query's page.
  await page.locator('#q').pressSequentially(' chronicle', { delay: 30 });
  await page.waitForFunction(() => new URL(location.href).searchParams.get('q') === 'dune chronicle' &&
    document.querySelector('#page').textContent === 'Page 1 of 3');
  assert.deepEqual(await urlState(page), { index: 'books', q: 'dune chronicle' });
  await page.click('#next');
  await page.waitForFunction(() => new URL(location.href).searchParams.get('page') === '2');
  await page.selectOption('#index', 'films');
  await page.waitForFunction(() => new URL(location.href).searchParams.get('index') === 'films');
  assert.deepEqual(await urlState(page), { index: 'films', q: 'dune chronicle' });
  assert.deepEqual(problems, []);
  await page.close();
});

test('links naming a page past the end or a missing index show what exists', async () => {
  const cases = [
    // [link, the page shown, the address afterwards]
    ['/?index=books&q=dune&page=9', 'Page 3 of 3', { index: 'books', q: 'dune', page: '3' }],
    ['/?index=books&q=dune&page=0', 'Page 1 of 3', { index: 'books', q: 'dune' }],
    ['/?index=books&q=dune&page=x2', 'Page 1 of 3', { index: 'books', q: 'dune' }],
    ['/?index=gone&q=dune&page=2&sort=year:desc', 'Page 1 of 3', { index: 'books', q: 'dune' }],
  ];
  for (const [link, shown, after] of cases) {
    const { page, problems } = await openPage(browser);
    await page.goto(server.url + link);
    await page.waitForFunction((text) => document.querySelector('#page').textContent === text &&
      document.querySelectorAll('#hits .hit').length > 0, shown);
    assert.deepEqual(await urlState(page), after, link);
    assert.deepEqual(problems, [], link);
    await page.close();
  }
});

test('a filter the link holds is shown and can be removed', async () => {
  const { page, problems } = await openPage(browser);
  // Written by hand: the page applies it as it is. books has no filterable
  // attribute, so the server refuses it and says why.
  await page.goto(server.url + '/?index=books&q=dune&filter=' + encodeURIComponent('year > 1990'));
  await page.waitForSelector('#chips button', { state: 'visible' });
  assert.equal(await page.textContent('#chips button'), 'year > 1990 \u00d7');
  await page.waitForFunction(() => document.querySelector('#state.error') !== null);
  assert.equal(await page.isHidden('#facets'), true);
  await page.click('#chips button');
  await page.waitForFunction(() => document.querySelector('#summary').textContent.startsWith('25 results'));
  assert.equal(await page.isHidden('#chips'), true);
  assert.deepEqual(await urlState(page), { index: 'books', q: 'dune' });
  assert.deepEqual(problems, []);
  await page.close();
});

test('an index without filterable or sortable attributes shows no facets and no sort choice', async () => {
  const { page, problems } = await openPage(browser);
  const bodies = [];
  page.on('request', (req) => {
    if (req.url().endsWith('/search')) bodies.push(JSON.parse(req.postData()));
  });
  await page.goto(server.url + '/?index=papers');
  // The search box takes keys once the index list is in (it is disabled
  // until then, and a key typed into it is lost).
  await page.waitForSelector('#index option[value="papers"]', { state: 'attached' });
  await page.locator('#q').pressSequentially('sandworm', { delay: 30 });
  await page.waitForFunction(() => document.querySelector('#summary').textContent.startsWith('3 results'));
  assert.equal(await page.isHidden('#facets'), true);
  assert.equal(await page.isHidden('#sort'), true);
  // Nothing is asked that the index cannot answer.
  for (const body of bodies) assert.deepEqual(Object.keys(body).sort(), ['limit', 'offset', 'q']);
  assert.deepEqual(problems, []);
  await page.close();
});

// A shop whose sections, languages and years are filterable and whose
// price is sortable; the expected counts are computed from these rows.
const SHOP = [
  ['g1', 'games', 'en', 1990, 30], ['g2', 'games', 'de', 1990, 12], ['g3', 'games', 'en', 1995, 55],
  ['g4', 'games', 'en', 2001, 8], ['g5', 'games', 'fr', 2001, 21],
  ['e1', 'editors', 'en', 1990, 99], ['e2', 'editors', 'de', 1995, 5], ['e3', 'editors', 'en', 2001, 40],
  ['e4', 'editors', 'en', 2001, 17],
  ['m1', 'music', 'de', 1990, 3], ['m2', 'music', 'en', 1995, 64], ['m3', 'music', 'fr', 1995, 11],
].map(([id, section, lang, year, price]) => ({ title: `Shop item ${id}`, id, section, lang, year, price }));

const count = (pred) => SHOP.filter(pred).length;

// The facet buttons as { attribute: { value: [count, pressed] } }.
async function facetState(page) {
  return page.evaluate(() => Object.fromEntries([...document.querySelectorAll('#facets .facet')].map((g) => [
    g.dataset.attribute,
    Object.fromEntries([...g.querySelectorAll('button')].map((b) => [
      b.dataset.value, [Number(b.querySelector('.count').textContent), b.getAttribute('aria-pressed') === 'true']])),
  ])));
}

async function waitForTotal(page, total) {
  await page.waitForFunction((n) => document.querySelector('#summary').textContent
    .startsWith(`${n} result`), total);
}

test('facets count, filter and combine; sort orders; both live in the URL', async () => {
  await post(server, '/indexes/shop/documents', SHOP);
  const res = await fetch(server.url + '/indexes/shop/settings', {
    method: 'PATCH', headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ filterableAttributes: ['section', 'lang', 'year'], sortableAttributes: ['price'] }),
  });
  assert.equal(res.status, 200, await res.text());

  const { page, problems } = await openPage(browser);
  await page.goto(server.url + '/?index=shop');
  await page.waitForSelector('#facets .facet', { state: 'visible' });
  await waitForTotal(page, 12);
  let facets = await facetState(page);
  assert.deepEqual(Object.keys(facets), ['section', 'lang', 'year']);
  // Most frequent first, then by value.
  assert.deepEqual(Object.keys(facets.section), ['games', 'editors', 'music']);
  assert.deepEqual(facets.section.games, [5, false]);
  assert.deepEqual(facets.lang, { en: [7, false], de: [3, false], fr: [2, false] });
  assert.deepEqual(Object.keys(facets.year), ['1990', '1995', '2001']);

  // One value: the hits and the other attributes' counts narrow; the
  // attribute's own counts stay, so a second value can be added.
  await page.click('#facets .facet[data-attribute="section"] button[data-value="games"]');
  await waitForTotal(page, 5);
  facets = await facetState(page);
  assert.deepEqual(facets.section.games, [5, true]);
  assert.deepEqual(facets.section.editors, [4, false]);
  assert.deepEqual(facets.lang.en, [count((d) => d.section === 'games' && d.lang === 'en'), false]);
  assert.deepEqual((await page.locator('#hits h2').allTextContents()).sort(),
    SHOP.filter((d) => d.section === 'games').map((d) => d.title).sort());

  await page.click('#facets .facet[data-attribute="section"] button[data-value="editors"]');
  await waitForTotal(page, 9);
  // A number goes into the filter bare, so it matches the numbers.
  await page.click('#facets .facet[data-attribute="year"] button[data-value="2001"]');
  const expected = count((d) => ['games', 'editors'].includes(d.section) && d.year === 2001);
  await waitForTotal(page, expected);
  facets = await facetState(page);
  assert.deepEqual(facets.year['2001'], [expected, true]);
  assert.deepEqual(facets.year['1990'], [count((d) => ['games', 'editors'].includes(d.section) && d.year === 1990), false]);
  assert.deepEqual(facets.lang.en, [count((d) => ['games', 'editors'].includes(d.section) && d.year === 2001 && d.lang === 'en'), false]);
  const url = new URL(page.url());
  assert.deepEqual(url.searchParams.getAll('filter').sort(),
    ['"section" = "editors"', '"section" = "games"', '"year" = 2001']);

  // Sorting by price, highest first.
  await page.selectOption('#sort', 'price:desc');
  await page.waitForFunction(() => new URL(location.href).searchParams.get('sort') === 'price:desc');
  const byPrice = SHOP.filter((d) => ['games', 'editors'].includes(d.section) && d.year === 2001)
    .sort((a, b) => b.price - a.price).map((d) => d.title);
  await page.waitForFunction((first) => document.querySelector('#hits h2')?.textContent === first, byPrice[0]);
  assert.deepEqual(await page.locator('#hits h2').allTextContents(), byPrice);
  await page.screenshot({ path: join(artifacts, 'sandbox-facets.png'), fullPage: true });

  // A reload, and the link in another tab, show the same.
  const link = page.url();
  for (const target of [page, (await openPage(browser)).page]) {
    if (target === page) await page.reload(); else await target.goto(link);
    await target.waitForFunction((first) => document.querySelector('#hits h2')?.textContent === first, byPrice[0]);
    assert.deepEqual(await target.locator('#hits h2').allTextContents(), byPrice);
    assert.equal(await target.inputValue('#sort'), 'price:desc');
    const state = await facetState(target);
    // No music of 2001: the section's counts under the year filter lack it.
    assert.deepEqual(state.section, { games: [2, true], editors: [2, true] });
    assert.deepEqual(state.year['2001'], [4, true]);
    if (target !== page) await target.close();
  }

  // Unchoosing every value gives the whole index back, by price ascending.
  // Each click waits for the facets its answer draws: they are drawn anew
  // in another order (the year's counts change with the sections chosen),
  // and a click aimed at a button that moves lands on its neighbour.
  for (const [attr, value] of [['section', 'games'], ['section', 'editors'], ['year', '2001']]) {
    const button = `#facets .facet[data-attribute="${attr}"] button[data-value="${value}"]`;
    await page.click(button);
    await page.waitForSelector(`${button}[aria-pressed="false"]`, { state: 'attached' });
  }
  await page.selectOption('#sort', 'price:asc');
  await waitForTotal(page, 12);
  await page.waitForFunction(() => new URL(location.href).searchParams.getAll('filter').length === 0 &&
    document.querySelector('#hits h2')?.textContent === 'Shop item m1');
  assert.deepEqual(problems, []);
  await page.close();
});
