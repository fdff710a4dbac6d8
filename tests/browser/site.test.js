// The example site in a real browser: Debian's headless Chromium driven by playwright-core.
// A visitor fills the guestbook form wrongly and sees the messages beside the fields it kept,
// fixes it, uploads a photo, sees the entry listed with the photo's MD5 and size, goes back and
// sends the stale page again, and is refused. Screenshots of every step go to the artifacts
// folder. vesk-serve runs on a free loopback port over a copy of examples/site in a temporary
// folder, so the database the site writes starts empty.
//
//   VESK_SERVE=build/bin/vesk-serve VESK_SITE=examples/site VESK_ARTIFACTS=build/browser node site.test.js
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const zlib = require('node:zlib');

const serve = process.env.VESK_SERVE || path.join(__dirname, '../../build/bin/vesk-serve');
const site = process.env.VESK_SITE || path.join(__dirname, '../../examples/site');
const artifacts = process.env.VESK_ARTIFACTS || path.join(__dirname, '../../build/browser-artifacts');
const chromiumPath = process.env.CHROMIUM || '/usr/bin/chromium';

if (!fs.existsSync(serve)) {
  console.log(`SKIP: vesk-serve is not built (${serve} missing)`);
  process.exit(77);
}
const { chromium } = require('playwright-core');

// ---- helpers ---------------------------------------------------------------------------------

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

const crcTable = Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c >>> 0;
});
function crc32(bytes) {
  let c = 0xffffffff;
  for (const b of bytes) c = crcTable[(c ^ b) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

// A real PNG (a colour gradient), so the browser and the page handle an actual image.
function makePng(width, height) {
  const raw = Buffer.alloc((width * 3 + 1) * height);
  for (let y = 0; y < height; y++) {
    const row = y * (width * 3 + 1);
    for (let x = 0; x < width; x++) {
      raw[row + 1 + x * 3] = (x * 255) / (width - 1);
      raw[row + 2 + x * 3] = (y * 255) / (height - 1);
      raw[row + 3 + x * 3] = 160;
    }
  }
  const chunk = (type, data) => {
    const head = Buffer.alloc(8);
    head.writeUInt32BE(data.length, 0);
    head.write(type, 4, 'ascii');
    const crc = Buffer.alloc(4);
    crc.writeUInt32BE(crc32(Buffer.concat([head.subarray(4), data])), 0);
    return Buffer.concat([head, data, crc]);
  };
  const ihdr = Buffer.alloc(13);
  ihdr.writeUInt32BE(width, 0);
  ihdr.writeUInt32BE(height, 4);
  ihdr.set([8, 2, 0, 0, 0], 8);
  return Buffer.concat([
    Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
    chunk('IHDR', ihdr), chunk('IDAT', zlib.deflateSync(raw)), chunk('IEND', Buffer.alloc(0)),
  ]);
}

const digest = (algorithm, data) => crypto.createHash(algorithm).update(data).digest('hex');
const htmlEncoded = (text) =>
  text.replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;').replace(/"/g, '&quot;');

async function waitUntilServing(base, child, log) {
  const deadline = Date.now() + 30000;
  while (Date.now() < deadline) {
    if (child.exitCode !== null) throw new Error(`vesk-serve exited with ${child.exitCode}:\n${log()}`);
    try {
      const response = await fetch(base + '/static/site.css');
      if (response.ok) return;
    } catch (_) { /* not listening yet */ }
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  throw new Error(`vesk-serve did not answer within 30 s:\n${log()}`);
}

// ---- the server and the browser, shared by the cases ----------------------------------------

let child, base, browser, context, workDir, serverLog = '';
let shot = 0;

async function screenshot(page, name) {
  shot += 1;
  await page.screenshot({ path: path.join(artifacts, `${String(shot).padStart(2, '0')}-${name}.png`), fullPage: true });
}

test.before(async () => {
  fs.mkdirSync(artifacts, { recursive: true });
  workDir = fs.mkdtempSync(path.join(os.tmpdir(), 'vesk-site-'));
  const root = path.join(workDir, 'site');
  fs.cpSync(site, root, { recursive: true, filter: (src) => !/\.db(-wal|-shm)?$/.test(src) });
  const port = await freePort();
  base = `http://127.0.0.1:${port}`;
  child = spawn(serve, ['--root', root, '--listen', `127.0.0.1:${port}`,
                        '--access-log', path.join(artifacts, 'access.log')],
                { stdio: ['ignore', 'pipe', 'pipe'] });
  child.stdout.on('data', (d) => { serverLog += d; });
  child.stderr.on('data', (d) => { serverLog += d; });
  await waitUntilServing(base, child, () => serverLog);
  browser = await chromium.launch({ executablePath: chromiumPath, args: ['--no-sandbox'] });
  context = await browser.newContext({ viewport: { width: 1000, height: 900 } });
});

test.after(async () => {
  if (browser) await browser.close();
  if (child && child.exitCode === null) {
    const exited = new Promise((resolve) => child.once('exit', resolve));
    child.kill('SIGTERM');
    await Promise.race([exited, new Promise((resolve) => setTimeout(resolve, 10000))]);
    if (child.exitCode === null) child.kill('SIGKILL');
  }
  fs.writeFileSync(path.join(artifacts, 'server.log'), serverLog);
  if (workDir) fs.rmSync(workDir, { recursive: true, force: true });
});

const errorFor = (page, field) => page.locator(`p.error[data-for="${field}"]`);

// ---- the cases -------------------------------------------------------------------------------

test('the guestbook form: messages, kept values, upload, listing, and a refused stale repost', async () => {
  const page = await context.newPage();
  await page.goto(base + '/sign.vsp');
  await screenshot(page, 'form');
  assert.equal(await page.locator('p.error').count(), 0, 'a fresh form shows no message');
  assert.ok(await page.locator('input[name=contact][value=email]').isChecked(), 'the default choice is drawn checked');

  // Wrong: no name, a bad address, an age that is no number, no colour, no agreement.
  const message = '<b>hi</b> & "you"';
  await page.fill('#email', 'ada-at-example');
  await page.fill('#age', 'abc');
  await page.check('input[name=topics][value=books]');
  await page.check('input[name=contact][value=never]');
  await page.fill('#message', message);
  await page.click('#send');
  await page.waitForSelector('#summary');
  await screenshot(page, 'errors');
  assert.equal(await page.textContent('#summary'), 'Please correct the 5 fields marked below.');
  assert.equal(await errorFor(page, 'name').textContent(), 'Please tell us your name.');
  assert.equal(await errorFor(page, 'email').textContent(), 'That does not look like an e-mail address.');
  assert.equal(await errorFor(page, 'age').textContent(), 'Please give your age as a whole number.');
  assert.equal(await errorFor(page, 'color').textContent(), 'Please choose a colour.');
  assert.equal(await errorFor(page, 'agree').textContent(), 'Please agree that your entry may be shown.');
  assert.equal(await errorFor(page, 'message').count(), 0);
  // Every field comes back as it was sent, markup included, and nothing of it became markup.
  assert.equal(await page.inputValue('#email'), 'ada-at-example');
  assert.equal(await page.inputValue('#age'), 'abc');
  assert.equal(await page.inputValue('#message'), message);
  assert.equal(await page.locator('main b').count(), 0);
  assert.ok(await page.locator('input[name=topics][value=books]').isChecked());
  assert.ok(!(await page.locator('input[name=topics][value=music]').isChecked()));
  assert.ok(await page.locator('input[name=contact][value=never]').isChecked());
  assert.equal(await page.inputValue('#color'), '');

  // Still wrong: an age out of range (the numeric message picks the template's other wording)
  // and a file that is no image.
  const name = 'Ada & <Lovelace>';
  await page.fill('#name', name);
  await page.fill('#email', 'ada@example.org');
  await page.fill('#age', '200');
  await page.selectOption('#color', 'blue');
  await page.check('input[name=agree]');
  await page.setInputFiles('#photo', { name: 'notes.txt', mimeType: 'text/plain', buffer: Buffer.from('not an image') });
  await page.click('#send');
  await page.waitForSelector('#summary');
  await screenshot(page, 'age-and-file');
  assert.equal(await page.textContent('#summary'), 'Please correct the 2 fields marked below.');
  assert.equal(await errorFor(page, 'age').textContent(), 'Ages run from 1 to 130.');
  assert.equal(await errorFor(page, 'photo').textContent(), 'The photo must be a PNG, JPEG, GIF or WebP image.');
  assert.equal(await page.inputValue('#name'), name);
  assert.equal(await page.inputValue('#color'), 'blue');
  assert.ok(await page.locator('input[name=agree]').isChecked());
  const staleKey = await page.getAttribute('form input[type=hidden]', 'name');

  // Right, with a photo.
  const png = makePng(48, 32);
  await page.fill('#age', '36');
  await page.setInputFiles('#photo', { name: 'gradient.png', mimeType: 'image/png', buffer: png });
  await page.click('#send');
  await page.waitForSelector('#saved');
  await screenshot(page, 'thanks');
  assert.equal(await page.textContent('#photo-md5'), digest('md5', png));
  assert.equal(await page.textContent('#photo-size'), String(png.length));
  const shown = await page.locator('#photo-shown img').evaluate((img) => ({ w: img.naturalWidth, h: img.naturalHeight }));
  assert.deepEqual(shown, { w: 48, h: 32 }, 'the photo shown back is the image that was sent');
  const confirmation = await page.textContent('#confirmation');
  assert.match(confirmation, new RegExp(`^Dear ${name.replace(/[.*+?^${}()|[\]\\]/g, '\\$&')},`));
  assert.ok(confirmation.includes(digest('md5', png)), 'the confirmation names the photo\'s MD5');
  assert.ok(confirmation.includes('Topics: books'), confirmation);
  assert.equal(await page.locator('#latest li .who').first().textContent(), name);

  // Back to the page sent before, and send it again: its key is spent.
  await page.goBack();
  assert.equal(await page.getAttribute('form input[type=hidden]', 'name'), staleKey, 'back shows the stale page');
  await page.click('#send');
  await page.waitForSelector('#stale');
  await screenshot(page, 'stale-refused');
  assert.match(await page.textContent('#stale'), /already sent or is out of date, so nothing was saved/);
  assert.equal(await page.locator('p.error').count(), 0);

  await page.goto(base + '/entries.vsp');
  await screenshot(page, 'entries');
  assert.equal(await page.locator('#cards article').count(), 1, 'exactly one entry was saved');
  assert.equal(await page.locator('#cards article h3').textContent().then((t) => t.trim()), name);
  assert.ok((await page.textContent('#cards')).includes(digest('md5', png)));
  await page.close();
});

test('every page reads in a narrow window without sideways scrolling', async () => {
  const narrow = await browser.newContext({ viewport: { width: 360, height: 740 } });
  const page = await narrow.newPage();
  for (const url of ['/', '/sign.vsp', '/entries.vsp', '/tools.vsp?c=sample']) {
    const response = await page.goto(base + url);
    assert.equal(response.status(), 200, url);
    const width = await page.evaluate(() => document.documentElement.scrollWidth);
    assert.ok(width <= 360, `${url} is ${width}px wide`);
    await screenshot(page, `narrow-${url.replace(/[^a-z]/g, '') || 'home'}`);
  }
  await narrow.close();
});

test('the encoders page shows what the utility members make of a text', async () => {
  const page = await context.newPage();
  await page.goto(base + '/tools.vsp');
  const text = 'a b&c/é <"x">';
  await page.fill('#text', text);
  await page.click('button[value=encode]');
  await page.waitForSelector('#results');
  await screenshot(page, 'tools-encode');
  assert.equal(await page.textContent('#base64'), Buffer.from(text, 'utf8').toString('base64'));
  assert.equal(await page.textContent('#url'), encodeURIComponent(text));
  assert.equal(await page.textContent('#html'), htmlEncoded(text));
  assert.equal(await page.textContent('#md5'), digest('md5', Buffer.from(text, 'utf8')));
  assert.equal(await page.textContent('#sha1'), digest('sha1', Buffer.from(text, 'utf8')));
  assert.equal(await page.inputValue('#text'), text);
  // The link built from ToCommand and ToParameter carries the text back.
  await page.click('#permalink');
  await page.waitForSelector('#results');
  assert.equal(await page.inputValue('#text'), text);
  assert.equal(await page.textContent('#md5'), digest('md5', Buffer.from(text, 'utf8')));

  const encoded = Buffer.from('not base64?', 'utf8').toString('base64');
  await page.fill('#text', encoded);
  await page.click('button[value=decode]');
  await page.waitForSelector('#results');
  await screenshot(page, 'tools-decode');
  assert.equal(await page.textContent('#base64'), 'not base64?');
  assert.match(await page.textContent('main'), /That text is not URL-encoded\./);
  await page.close();
});

// Last: the server stops on SIGTERM with every session ended and exits 0 (under the sanitizers a
// leak or a fault found at exit makes the status non-zero and leaves a report in its log).
test('the server stops cleanly after the visit', async () => {
  await browser.close();
  browser = null;
  const exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
  child.kill('SIGTERM');
  const outcome = await Promise.race([exited, new Promise((resolve) => setTimeout(() => resolve(null), 30000))]);
  assert.ok(outcome, 'vesk-serve did not stop within 30 s of SIGTERM');
  assert.deepEqual(outcome, { code: 0, signal: null }, serverLog.slice(-4000));
  assert.doesNotMatch(serverLog, /Sanitizer|runtime error/);
});
