// Drives headless Chromium through the web interface as a person would:
// log in from the navigation bar, open the stream A setup page, change the
// bit rate, save, see the new value, see a form posted by a page of another
// site refused, and open the file list from the navigation bar. Arguments: base URL, screenshot path.
const { chromium } = require('playwright-core');

async function main() {
  const [base, shot] = process.argv.slice(2);
  const browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const context = await browser.newContext({ httpCredentials: { username: 'admin', password: 'secret' } });
  const page = await context.newPage();
  const fail = (msg) => { throw new Error(msg); };

  await page.goto(base + '/index.htm');
  if (!(await page.textContent('.who h3')).includes('guest')) fail('not the guest at first');
  await Promise.all([page.waitForNavigation(), page.click('.who input[type=submit]')]);
  await page.goto(base + '/index.htm');
  const who = await page.textContent('.who h3');
  if (!who.includes('admin')) fail('not logged in: ' + who);

  await Promise.all([page.waitForNavigation(), page.click('a[href="/setup_streama.htm"]')]);
  const before = await page.inputValue('#BitRate');
  if (before !== '5000000') fail('bit rate shown as ' + before);
  await page.fill('#BitRate', '2500000');
  await Promise.all([page.waitForNavigation(), page.click('input[type=submit][value="Save settings"]')]);
  if (!page.url().endsWith('/setup_streama.htm')) fail('after saving the page is ' + page.url());
  const after = await page.inputValue('#BitRate');
  if (after !== '2500000') fail('bit rate after saving is ' + after);
  await page.screenshot({ path: shot, fullPage: true });

  // A page of another site that posts a form to the unit as it loads: the
  // browser sends it with the unit's credentials, and the unit refuses it.
  // (Another name of the same loopback address is another site to the
  // browser, and no private-network rule is in the way.)
  const other = base.replace('127.0.0.1', 'localhost');
  await context.route((url) => url.hostname === 'localhost' && url.pathname === '/forged.htm', (route) => route.fulfill({
    contentType: 'text/html',
    body: '<form id="f" method="POST" action="' + base + '/streamA_controls">' +
          '<input name="BitRate" value="100000"><input name="redirect" value="/index.htm"></form>' +
          '<script>document.getElementById("f").submit();</script>',
  }));
  const [forged] = await Promise.all([
    page.waitForResponse((r) => r.request().method() === 'POST' && r.url().endsWith('/streamA_controls')),
    page.goto(other + '/forged.htm'),
  ]);
  if (forged.status() !== 403) fail('a form from another site was answered ' + forged.status());
  await page.goto(base + '/setup_streama.htm');
  if ((await page.inputValue('#BitRate')) !== '2500000') fail('a form from another site changed the bit rate');

  await Promise.all([page.waitForNavigation(), page.click('a[href="/download.htm"]')]);
  const link = page.locator('a[href="/download?s=2&f=2026/rec_0001.ts"]');
  if ((await link.count()) !== 1) fail('the recording is not in the file list');

  await Promise.all([page.waitForNavigation(), page.click('.who input[type=submit]')]);
  await browser.close();
  console.log('browser: bit rate changed to ' + after);
}

main().catch((e) => { console.error('browser: ' + e.message); process.exit(1); });
