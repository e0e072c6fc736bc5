// The overlay upload page in headless Chromium: an operator chooses an image
// the box refuses and uploads it; the page's status line must give the
// box's reason. Arguments: base URL, image file, the reason expected.
const { chromium } = require('playwright-core');

async function main() {
  const [base, file, reason] = process.argv.slice(2);
  const browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync'],
  });
  try {
    const context = await browser.newContext({ httpCredentials: { username: 'op', password: 'pw' } });
    context.setDefaultTimeout(60000);
    const page = await context.newPage();
    // Logged in from the navigation bar, whose button asks for the
    // credentials the browser then holds.
    await page.goto(base + '/index.htm');
    await Promise.all([page.waitForNavigation(), page.click('.who input[type=submit]')]);
    await page.goto(base + '/setup_overlay.htm');
    await page.setInputFiles('#ov-file', file);
    await page.fill('#ov-slot', '3');
    await page.click('#overlay-form input[type=submit]');
    await page.waitForFunction(() => !/\.\.\.$/.test(document.getElementById('ov-status').textContent));
    const status = await page.textContent('#ov-status');
    if (!status.includes('refused (400)') || !status.includes(reason)) throw new Error('status line: ' + status);
  } finally {
    await browser.close();
  }
}

main().catch((e) => {
  console.error(e.message);
  process.exit(1);
});
