// Opens a framegrab page in Debian's headless Chromium and prints, as one JSON object, what the
// page itself shows: the figures (each row's number), the charts, the histogram, whether the
// preview image loaded and at what size, and every request the page made.
//
//   node check-page.mjs live URL [SCREENSHOT.png]   waits until the image count grows
//   node check-page.mjs report FILE.html
//   node check-page.mjs station URL                 a station's page: the verdict and, for each
//                                                   camera's panel, what it shows once its
//                                                   preview has loaded
import { chromium } from 'playwright-core';

const [mode, target, screenshot] = process.argv.slice(2);
const browser = await chromium.launch({
  executablePath: process.env.FP_CHROMIUM || '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
try {
  const page = await browser.newPage({ viewport: { width: 1200, height: 900 } });
  const requests = [];
  page.on('request', (request) => requests.push(request.url()));
  const url = mode === 'report' ? 'file://' + target : target;
  await page.goto(url);
  if (mode === 'station') {
    const station = await (await page.waitForFunction(() => {
      const cameras = [];
      const panels = document.querySelectorAll('section.camera');
      for (let k = 1; k <= panels.length; ++k) {
        const img = document.getElementById('preview-' + k);
        const images = document.querySelector('#images-' + k + ' td');
        if (!img.complete || img.naturalWidth === 0 || !images) return null;
        cameras.push({
          title: document.getElementById('title-' + k).textContent,
          state: document.getElementById('state-' + k).textContent,
          images: Number(images.dataset.value),
          preview: [img.naturalWidth, img.naturalHeight],
          charts: document.querySelectorAll('#charts-' + k + ' svg.chart').length,
        });
      }
      const verdict = document.getElementById('verdict');
      return cameras.length && verdict ? {
        title: document.getElementById('title').textContent,
        verdict: verdict.textContent,
        cameras,
      } : null;
    }, null, { timeout: 30000 })).jsonValue();
    console.log(JSON.stringify({ ...station, requests }));
    await browser.close();
    process.exit(0);
  }
  const imagesDone = () => page.evaluate(
    () => Number(document.querySelector('#images td')?.dataset.value ?? -1));
  // The preview loaded and the figures are there.
  await page.waitForFunction(() => {
    const img = document.getElementById('preview');
    return img && img.complete && img.naturalWidth > 0 && document.querySelector('#images td');
  }, null, { timeout: 30000 });
  const seen = [await imagesDone()];
  if (mode === 'live') {
    await page.waitForFunction((first) =>
      Number(document.querySelector('#images td').dataset.value) > first, seen[0],
    { timeout: 30000 });
    seen.push(await imagesDone());
  }
  if (screenshot) await page.screenshot({ path: screenshot, fullPage: true });
  // Read at a moment when the preview is loaded: the live page swaps it for each new image, and
  // while the next one loads it has no size.
  const shown = await (await page.waitForFunction(() => {
    const img = document.getElementById('preview');
    if (!img.complete || img.naturalWidth === 0) return null;
    const figures = {};
    for (const row of document.querySelectorAll('table.figures tr')) {
      figures[row.id] = Number(row.querySelector('td').dataset.value);
    }
    return {
      title: document.getElementById('title').textContent,
      state: document.getElementById('state').textContent,
      command: document.getElementById('command')?.textContent ?? null,
      note: document.getElementById('note').textContent,
      preview: [img.naturalWidth, img.naturalHeight],
      charts: [...document.querySelectorAll('#charts svg.chart')].map(
        (svg) => svg.getAttribute('aria-label')),
      chart_points: document.querySelectorAll('#charts svg.chart polyline').length,
      histogram: document.querySelector('#histogram svg')?.getAttribute('aria-label') ?? null,
      figures,
    };
  }, null, { timeout: 30000 })).jsonValue();
  console.log(JSON.stringify({ ...shown, images_seen: seen, requests }));
} finally {
  await browser.close();
}
