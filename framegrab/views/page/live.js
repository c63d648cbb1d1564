// Fills the page from the server's events: each one carries the whole state, its parts made as
// HTML by framegrab, so the page only puts them in place. A station's event carries its verdict
// and a panel for each camera, whose parts' ids end in -1, -2, ...
const $ = (id) => document.getElementById(id);
const shown = {};
const source = new EventSource('events');
// One camera's parts, their ids ending in `suffix`; `camera` (1, 2, ...) names its pictures on a
// station's page, 0 on the page of one camera.
const showPanel = (d, suffix, camera) => {
  $('title' + suffix).textContent = d.title;
  $('state' + suffix).textContent = d.state;
  $('figures' + suffix).innerHTML = d.figures;
  $('histogram' + suffix).innerHTML = d.histogram;
  $('charts' + suffix).innerHTML = d.charts;
  $('diagnoses' + suffix).innerHTML = d.diagnoses;
  if (d.preview && d.preview.image !== shown[suffix]) {
    shown[suffix] = d.preview.image;
    const which = camera ? 'camera=' + camera : '';
    $('preview' + suffix).src = 'preview.png?' + (which ? which + '&' : '') + 'image=' + shown[suffix];
    $('note' + suffix).textContent = d.preview.note + ' (full image: latest.png' +
      (which ? '?' + which : '') + ', figures: stats.json)';
  }
};
const updated = (text) => {
  for (const line of document.querySelectorAll('[id^="updated"]')) line.textContent = text;
};
source.onmessage = (event) => {
  const d = JSON.parse(event.data);
  if (d.cameras) {
    $('station').innerHTML = d.station;
    d.cameras.forEach((camera, i) => showPanel(camera, '-' + (i + 1), i + 1));
  } else {
    showPanel(d, '', 0);
  }
  updated('updated ' + new Date().toLocaleTimeString());
};
source.onerror = () => {
  updated(source.readyState === EventSource.CLOSED
    ? 'framegrab refused the updates (too many pages open?); reload to try again'
    : 'no contact with framegrab; trying again');
};
