// Fills the upload example's form in headless Chromium, attaches files and
// submits it; prints the answer page's HTML on standard output.
//
//   node upload_form.mjs URL TITLE COMMENT FILE1 [FILE2]
//
// The browser is Debian's /usr/bin/chromium (CHROMIUM overrides it) with a
// fresh profile; it sends nothing anywhere but to URL.
import { chromium } from 'playwright-core';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const [url, title, comment, file1, file2] = process.argv.slice(2);
const profile = mkdtempSync(join(tmpdir(), 'pithorama-chromium-'));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  timeout: 60000,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
try {
  const page = context.pages()[0] ?? await context.newPage();
  await page.goto(url, { timeout: 60000 });
  await page.fill('input[name="title"]', title);
  await page.fill('textarea[name="comment"]', comment);
  await page.setInputFiles('input[name="file1"]', file1);
  if (file2) await page.setInputFiles('input[name="file2"]', file2);
  await Promise.all([
    page.waitForNavigation({ timeout: 120000 }),
    page.click('input[type="submit"]'),
  ]);
  process.stdout.write(await page.content());
} finally {
  await context.close();
  rmSync(profile, { recursive: true, force: true });
}
