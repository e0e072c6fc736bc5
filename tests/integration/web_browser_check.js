// Drives headless Chromium through the web interface as a person would:
// log in from the navigation bar, open the stream A setup page, change the
// bit rate, save, see the new value, see a form posted by a page of another
// site and images loaded by one refused, and open the file list from the navigation bar. Then every
// page of the menu at a desktop's and a phone's width: nothing scrolls
// sideways, the phone's menu sits above the content, and no row with a list
// of values shows a bare number. At last, logged in afresh, restore the
// defaults with the button of the update page. Arguments: base URL,
// screenshot path, directory for the pages' screenshots, and optionally the
// URL of a page of another site that loads the restore-defaults and logout
// URLs as images.
const { chromium } = require('playwright-core');

const trail = [];

async function main() {
  const [base, shot, shots, imagePage] = process.argv.slice(2);
  const browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const credentials = { httpCredentials: { username: 'admin', password: 'secret' } };
  const context = await browser.newContext(credentials);
  // Chromium beside a busy job can be slow to start a page or draw it: a
  // step is given a minute, and one that took long says so.
  context.setDefaultTimeout(60000);
  const page = await context.newPage();
  // What the page went through, printed when a check fails.
  page.on('response', (r) => {
    if (r.request().isNavigationRequest()) trail.push(`${r.status()} ${r.request().method()} ${r.url()}`);
  });
  page.on('requestfailed', (r) => trail.push(`failed ${r.url()}: ${r.failure().errorText}`));
  page.on('framenavigated', (f) => { if (f === page.mainFrame()) trail.push(`at ${f.url()}`); });
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
  await screenshot(page, shot);

  // A page of another site that posts a form to the unit as it loads: the
  // browser sends it with the unit's credentials, and the unit refuses it.
  // (Loopback, or another name of it, is another site to the browser, and
  // no private-network rule is in the way of its pages.)
  const at = new URL(base);
  const otherHost = at.hostname === '127.0.0.1' ? 'localhost' : '127.0.0.1';
  const other = base.replace(at.hostname, otherHost);
  await context.route((url) => url.hostname === otherHost && url.pathname === '/forged.htm', (route) => route.fulfill({
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

  // A page of another origin loads the restore-defaults and logout URLs as
  // images, without Origin or Referer; to a box at a LAN address the browser
  // does not say where they come from either (Sec-Fetch-* goes only to
  // trustworthy origins), and sends them with the unit's credentials. The
  // unit refuses both (the test script finds them in its log: the browser
  // may hide the answers from the page). The page's load waits for both.
  if (imagePage) {
    await page.goto(imagePage);
    await page.goto(base + '/setup_streama.htm');
    if ((await page.inputValue('#BitRate')) !== '2500000') fail('a cross-site image restored the defaults');
    if (!(await page.textContent('.who h3')).includes('admin')) fail('a cross-site image logged the browser out');
  }

  await Promise.all([page.waitForNavigation(), page.click('a[href="/download.htm"]')]);
  const link = page.locator('a[href="/download?s=2&f=2026/rec_0001.ts"]');
  if ((await link.count()) !== 1) fail('the recording is not in the file list');

  await everyPage(page, base, shots, fail);
  await Promise.all([page.waitForNavigation(), page.click('.who input[type=submit]')]);
  if (!(await page.textContent('.who h3')).includes('guest')) fail('the log-out button did not log out');

  // The box's own button restores the defaults (the users with them: the
  // browser is closed before it asks for its page again).
  const fresh = await browser.newContext(credentials);
  fresh.setDefaultTimeout(60000);
  const own = await fresh.newPage();
  await own.goto(base + '/index.htm');
  await Promise.all([own.waitForNavigation(), own.click('.who input[type=submit]')]);
  await own.goto(base + '/admin_update.htm');
  own.on('dialog', (d) => d.accept());
  const [restored] = await Promise.all([
    own.waitForResponse((r) => r.url().includes('/load_default_params')),
    own.click('input[type=submit][value="Restore defaults"]'),
  ]);
  if (restored.status() !== 303) fail('the Restore defaults button was answered ' + restored.status());
  await browser.close();
  console.log('browser: bit rate changed to ' + after);
}

// The whole page drawn to a file.
async function screenshot(page, path) {
  const t0 = Date.now();
  await page.screenshot({ path, fullPage: true });
  const s = (Date.now() - t0) / 1000;
  if (s > 5) console.log(`browser: drawing ${page.url()} took ${s.toFixed(1)} s`);
}

// A number where the row has a fixed list of values: a bare number or a
// made-up name ("Mode 2") shown by a select or in a status row whose label
// names a mode, format, style or lock; or a number box for such a row.
async function codesShown(page) {
  return page.evaluate(() => {
    const bare = /^\s*((mode|format|option|style)\s*)?-?\d+\s*$/i;
    const listy = /\b(mode|format|style|lock|service|action|background)\b/i;
    const out = [];
    // A select shows a code when its option's text is its bare number
    // while the other options have words (a list of frame rates is numbers).
    const named = /^\s*(mode|format|option|style)\s*\d+\s*$/i;
    for (const s of document.querySelectorAll('select')) {
      const o = s.options[s.selectedIndex];
      if (!o) continue;
      const words = Array.prototype.some.call(s.options, (x) => x.text.trim() !== x.value);
      const code = /^\s*-?\d+\s*$/.test(o.text) && o.text.trim() === o.value;
      if (named.test(o.text) || (code && words)) out.push((s.name || s.id) + ' shows "' + o.text + '"');
    }
    for (const tr of document.querySelectorAll('table.status tr')) {
      const cells = tr.querySelectorAll('td');
      if (cells.length < 2 || !listy.test(cells[0].textContent)) continue;
      if (cells[1].querySelector('select')) continue;
      if (bare.test(cells[1].textContent)) out.push(cells[0].textContent + ' shows "' + cells[1].textContent + '"');
    }
    for (const i of document.querySelectorAll('input[type=number]')) {
      const l = document.querySelector('label[for="' + i.id + '"]');
      if (l && listy.test(l.textContent) && !/threshold/i.test(l.textContent)) out.push(l.textContent + ' is a number box');
    }
    return out;
  });
}

// Opens a page of the unit, whole: its style sheet applied and not the
// unauthorized page. The unit now and then forgets the browser's login
// session (a 401, or the guest's page): log in again and load it again. Pages with a live picture never finish loading; the others are
// left only when every request of theirs is answered.
async function open(page, base, p, fail) {
  const until = /stream|view/.test(p) && !/rtsp|control|setup/.test(p) ? 'domcontentloaded' : 'load';
  for (let tries = 1; ; tries++) {
    await page.goto(base + p, { waitUntil: until });
    const whole = await page.waitForFunction(() => Array.prototype.some.call(document.styleSheets,
      (s) => s.href && s.href.endsWith('/style.css') && s.cssRules.length > 0) &&
      !/Unauthorized/.test((document.querySelector('h1, h2') || {}).textContent || ''),
      null, { timeout: 10000 }).then(() => true, () => false);
    if (whole) return;
    if (tries === 3) fail(`${p}: not loaded whole in three tries`);
    console.log(`browser: ${p} loaded again`);
    // A session the unit no longer knows: log in again from the menu.
    const login = page.locator('.who input[type=submit][value="Log in"]');
    if ((await login.count()) === 1) await Promise.all([page.waitForNavigation(), login.click()]);
  }
}

async function everyPage(page, base, shots, fail) {
  await page.goto(base + '/index.htm');
  const links = await page.$$eval('ul.nav a', (as) => as.map((a) => a.getAttribute('href')));
  const pages = ['/index.htm', '/rtsp_streams.htm', '/rtmp_streamb.htm', '/jpeg_streama.htm', ...links]
    .filter((v, i, all) => all.indexOf(v) === i);
  if (!pages.includes('/setup_overlay.htm')) fail('the menu has no link to the overlay images page');
  for (const [w, h] of [[1280, 900], [390, 844]]) {
    await page.setViewportSize({ width: w, height: h });
    for (const p of pages) {
      // Live pictures never finish loading: the page's own parts suffice.
      await open(page, base, p, fail);
      const name = p.replace(/^\//, '').replace(/\.htm$/, '');
      await screenshot(page, `${shots}/${name}_${w}x${h}.png`);
      const g = await page.evaluate(() => {
        const side = document.querySelector('.sidebar').getBoundingClientRect();
        const main = document.querySelector('.content').getBoundingClientRect();
        return { scroll: document.documentElement.scrollWidth, width: window.innerWidth,
                 sideBottom: side.bottom, mainTop: main.top };
      });
      if (g.scroll > g.width) fail(`${p} at ${w} px scrolls sideways (${g.scroll} px wide)`);
      if (w < 600 && g.sideBottom > g.mainTop + 1) fail(`${p} at ${w} px: the menu is not above the content`);
      const codes = await codesShown(page);
      if (codes.length) fail(`${p}: ${codes.join('; ')}`);
    }
  }

  // The duration's unit follows its mode.
  await open(page, base, '/control_recording.htm', fail);
  for (const [mode, unit] of [['4', 'KiB'], ['2', 'minutes'], ['1', 'seconds'], ['5', 'MiB']]) {
    await page.selectOption('#Recording\\.DurationMode', mode);
    const u = await page.textContent('#duration-unit');
    if (u !== unit) fail(`duration mode ${mode} shows the unit "${u}"`);
  }
  // A select whose list lacks the live value (the display mode the unit
  // starts in) says so, and saving the form leaves the value.
  const live = async () => (await (await page.request.get(base + '/Display.DisplayMode')).text()).trim();
  const before = await live();
  await open(page, base, '/setup_output.htm', fail);
  const shown = await page.$eval('#DisplayMode', (s) => s.options[s.selectedIndex].text);
  const listed = await page.$$eval('#DisplayMode option', (os) => os.map((o) => o.value));
  if (listed.includes(before)) fail(`display mode ${before} is listed: the check needs an unlisted one`);
  if (!/unchanged/i.test(shown)) fail(`the display mode ${before} shows as "${shown}"`);
  await Promise.all([page.waitForNavigation(), page.click('input[type=submit][value="Save settings"]')]);
  const after = await live();
  if (after !== before) fail(`saving the output page changed the display mode from ${before} to ${after}`);
  await page.setViewportSize({ width: 1280, height: 900 });
  console.log(`browser: ${pages.length} pages at two widths; display mode kept at ${after}`);
}

main().catch((e) => {
  console.error('browser: ' + e.message);
  console.error('browser: the last pages:\n  ' + trail.slice(-12).join('\n  '));
  process.exit(1);
});
