// Fills the page from the server's events: each one carries the whole state, its parts made as
// HTML by framegrab, so the page only puts them in place.
const $ = (id) => document.getElementById(id);
let shown = 0;
const source = new EventSource('events');
source.onmessage = (event) => {
  const d = JSON.parse(event.data);
  $('title').textContent = d.title;
  $('state').textContent = d.state;
  $('figures').innerHTML = d.figures;
  $('histogram').innerHTML = d.histogram;
  $('charts').innerHTML = d.charts;
  $('diagnoses').innerHTML = d.diagnoses;
  if (d.preview && d.preview.image !== shown) {
    shown = d.preview.image;
    $('preview').src = 'preview.png?image=' + shown;
    $('note').textContent = d.preview.note + ' (full image: latest.png, figures: stats.json)';
  }
  $('updated').textContent = 'updated ' + new Date().toLocaleTimeString();
};
source.onerror = () => {
  $('updated').textContent = source.readyState === EventSource.CLOSED
    ? 'framegrab refused the updates (too many pages open?); reload to try again'
    : 'no contact with framegrab; trying again';
};
