// harness.mjs: what the browser tests share: a real lighttpd on a free
// loopback port serving the built api_router with the project's
// configuration template, and Debian's headless chromium driven through
// playwright-core.
//
// LMX_BUILD_DIR and LMX_SOURCE_DIR must be set (CTest sets them).
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import { mkdtempSync, mkdirSync, writeFileSync, rmSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

export const buildDir = process.env.LMX_BUILD_DIR;
export const sourceDir = process.env.LMX_SOURCE_DIR;
assert.ok(buildDir && sourceDir, 'LMX_BUILD_DIR and LMX_SOURCE_DIR must be set');

const router = join(buildDir, 'src', 'api_router');
const render = join(sourceDir, 'deploy', 'render-lighttpd-conf');
const lighttpdBin = ['/usr/sbin/lighttpd', 'lighttpd'].find(
  (p) => spawnSync(p, ['-v']).status === 0);

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

export function freePort() {
  return new Promise((resolve, reject) => {
    const s = createServer();
    s.once('error', reject);
    s.listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

// Starts lighttpd with the variables of keys (LUMIDEX_*_KEY, any LUMIDEX_*
// setting) in its environment.
export async function startServer(keys = {}) {
  assert.ok(lighttpdBin, 'lighttpd is not installed');
  const dir = mkdtempSync(join(tmpdir(), 'lmx-browser-'));
  const storage = join(dir, 'storage');
  mkdirSync(storage, { mode: 0o700 });
  for (let attempt = 0; attempt < 5; attempt++) {
    const port = await freePort();
    const env = { ...process.env, ...keys };
    const conf = spawnSync(render, ['--router', router, '--storage', storage,
      '--port', String(port), '--errorlog', join(dir, 'error.log')], { env, encoding: 'utf8' });
    assert.equal(conf.status, 0, conf.stderr);
    writeFileSync(join(dir, 'lighttpd.conf'), conf.stdout);
    const proc = spawn(lighttpdBin, ['-D', '-f', join(dir, 'lighttpd.conf')], { env, stdio: 'ignore' });
    let exited = false;
    proc.on('exit', () => { exited = true; });
    const url = `http://127.0.0.1:${port}`;
    // Up once it answers, or lost the port once it has ended: no deadline,
    // a loaded machine may take long to start it (the test's timeout bounds it).
    while (!exited) {
      try {
        await fetch(url + '/status?format=json');
        return { url, dir, proc };
      } catch { await sleep(20); }
    }
  }
  throw new Error('lighttpd did not start');
}

export async function stopServer(server) {
  if (!server) return;
  const done = new Promise((r) => server.proc.once('exit', r));
  server.proc.kill('SIGTERM');
  await done;
  rmSync(server.dir, { recursive: true, force: true });
}

export async function post(server, path, body, key) {
  const headers = { 'Content-Type': 'application/json' };
  if (key) headers['X-Lumidex-Key'] = key;
  const res = await fetch(server.url + path, { method: 'POST', headers, body: JSON.stringify(body) });
  assert.ok(res.ok, `${path}: HTTP ${res.status} ${await res.text()}`);
}

export async function launch() {
  const profile = mkdtempSync(join(tmpdir(), 'lmx-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    viewport: { width: 1100, height: 900 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  return { context, profile };
}

export async function closeBrowser(b) {
  if (!b) return;
  await b.context.close();
  rmSync(b.profile, { recursive: true, force: true });
}

// A page that fails the test on any script error or dialog. Its waits have
// no deadline of their own: each ends on the event it waits for, and the
// test's own timeout (CTest) bounds a wait that never ends, so a loaded
// machine (the sanitizer suite) makes a test slower, never failed.
export async function openPage(b) {
  const page = await b.context.newPage();
  page.setDefaultTimeout(0);
  const problems = [];
  page.on('pageerror', (e) => problems.push('page error: ' + e.message));
  page.on('dialog', (d) => { problems.push('dialog: ' + d.message()); d.dismiss(); });
  return { page, problems };
}
