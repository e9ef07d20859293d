// The pages of `vorc serve`, filled in from their templates.
#include "tools/serve/camera_page.h"

namespace {

// The picture is a flex item that may shrink but never grow beyond its own
// size, and object-fit keeps its proportions: whatever the window, it fits
// without scroll bars and the status line stays in sight below it.
const char* const PageTemplate = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>vorc serve: @NAME@</title>
<style>
html, body { height: 100%; }
body { margin: 0; display: flex; flex-direction: column; overflow: hidden; position: relative;
       background: #202020; color: #e0e0e0; font: 14px sans-serif; }
#picture { display: block; flex: 0 1 auto; align-self: flex-start; min-height: 0; max-width: 100%;
           object-fit: contain; object-position: left top; }
#outline { position: absolute; pointer-events: none; display: none; object-fit: contain; object-position: left top; }
p { margin: 8px; flex: none; }
</style>
</head>
<body>
<img id="picture" src="@BASE@stream.mjpg" data-base="@BASE@" alt="live picture of @NAME@">
<canvas id="outline"></canvas>
<p>@NAME@: <span id="size">@SIZE@</span>, <span id="fps">-</span> frames/s,
<span id="frames">@FRAMES@</span> frames so far<span id="down"></span>
<label><input type="checkbox" id="motion"> outline motion</label><span id="moving"></span></p>
<script>
const picture = document.getElementById('picture');
const base = picture.dataset.base;
let previous = null;
async function refresh() {
  try {
    const text = await (await fetch(base + 'metrics', { cache: 'no-store' })).text();
    const value = name =>
      Number((text.match(new RegExp('^' + name + '(?:\\{[^}]*\\})? (\\S+)$', 'm')) || [0, 0])[1]);
    const frames = value('vorc_serve_frames_in_total');
    const now = performance.now();
    document.getElementById('size').textContent =
      value('vorc_serve_picture_width') + 'x' + value('vorc_serve_picture_height');
    document.getElementById('frames').textContent = frames;
    document.getElementById('down').textContent = value('vorc_serve_source_up') ? '' : ' (source down)';
    if (previous) {
      document.getElementById('fps').textContent =
        ((frames - previous.frames) * 1000 / (now - previous.now)).toFixed(1);
    }
    previous = { frames, now };
  } catch (error) {
  }
}
refresh();
setInterval(refresh, 1000);

const outline = document.getElementById('outline');
const motionBox = document.getElementById('motion');
motionBox.checked = new URLSearchParams(location.search).has('outline');
// The outline is drawn in the picture's pixels and laid over the picture's
// box with the same fit, so the layout keeps the two together.
function fitOutline() {
  outline.style.left = picture.offsetLeft + 'px';
  outline.style.top = picture.offsetTop + 'px';
  outline.style.width = picture.clientWidth + 'px';
  outline.style.height = picture.clientHeight + 'px';
}
new ResizeObserver(fitOutline).observe(picture);
async function drawMotion() {
  if (!motionBox.checked) {
    outline.style.display = 'none';
    document.getElementById('moving').textContent = '';
    return;
  }
  try {
    const state = await (await fetch(base + 'motion.json', { cache: 'no-store' })).json();
    const moving = (state.zones || []).filter(zone => zone.in_event).map(zone => zone.name);
    document.getElementById('moving').textContent = moving.length ? ' (motion in ' + moving.join(', ') + ')' : '';
    if (!state.width || !state.changed_tiles) return;
    outline.width = state.width;
    outline.height = state.height;
    fitOutline();
    outline.style.display = 'block';
    const context = outline.getContext('2d');
    context.strokeStyle = '#ff3030';
    // In the picture's pixels: thin enough to leave each tile's inside clear.
    context.lineWidth = Math.max(2, state.width / 640);
    for (let tile = 0; tile < state.columns * state.rows; ++tile) {
      const byte = parseInt(state.changed_tiles.substr((tile >> 3) * 2, 2), 16);
      if (!(byte & (0x80 >> (tile & 7)))) continue;
      const inset = context.lineWidth / 2;
      context.strokeRect((tile % state.columns) * 16 + inset, Math.floor(tile / state.columns) * 16 + inset,
                         16 - 2 * inset, 16 - 2 * inset);
    }
  } catch (error) {
  }
}
setInterval(drawMotion, 200);
</script>
</body>
</html>
)";

// A browser opens only a few connections to one server, fewer than the
// streams of a grid would hold: the grid renews snapshots instead.
const char* const GridTemplate = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>vorc serve: @COUNT@ cameras</title>
<style>
body { margin: 0; background: #202020; color: #e0e0e0; font: 14px sans-serif; }
#grid { display: grid; grid-template-columns: repeat(auto-fill, minmax(min(100%, 320px), 1fr)); gap: 8px; padding: 8px; }
.camera { color: inherit; text-decoration: none; }
.camera img { display: block; width: 100%; background: #000; }
.camera p { margin: 4px 0; }
.down { color: #ff8080; }
</style>
</head>
<body>
<div id="grid">
@CAMERAS@</div>
<script>
async function refresh() {
  let text = '';
  try {
    text = await (await fetch('metrics', { cache: 'no-store' })).text();
  } catch (error) {
  }
  for (const camera of document.querySelectorAll('.camera')) {
    const name = camera.dataset.name;
    const up = text.match(new RegExp('^vorc_serve_source_up\\{camera="' + name + '"\\} (\\S+)$', 'm'));
    const state = camera.querySelector('.state');
    if (up) {
      state.textContent = up[1] === '1' ? 'up' : 'down';
      state.className = 'state' + (up[1] === '1' ? '' : ' down');
    }
    const next = new Image();
    next.onload = () => { camera.querySelector('img').src = next.src; };
    next.src = 'cam/' + name + '/snapshot.jpg?' + Date.now();
  }
}
setInterval(refresh, 1000);
</script>
</body>
</html>
)";

const char* const GridCameraTemplate = R"(<a class="camera" href="cam/@NAME@/" data-name="@NAME@"><img src="cam/@NAME@/snapshot.jpg" alt="@TITLE@">
<p>@TITLE@: <span class="state@DOWN@">@STATE@</span></p></a>
)";

std::string replaced(std::string text, const std::string& placeholder, const std::string& value) {
    for (size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + value.size())) {
        text.replace(at, placeholder.size(), value);
    }
    return text;
}

std::string htmlEscaped(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
            case '<': escaped += "&lt;"; break;
            case '>': escaped += "&gt;"; break;
            case '&': escaped += "&amp;"; break;
            case '"': escaped += "&quot;"; break;
            default: escaped += c;
        }
    }
    return escaped;
}

}  // namespace

std::string cameraPage(const std::string& name, const std::string& base, const std::string& size, uint64_t frames) {
    std::string page = replaced(PageTemplate, "@NAME@", htmlEscaped(name));
    page = replaced(page, "@BASE@", htmlEscaped(base));
    page = replaced(page, "@SIZE@", size);
    return replaced(page, "@FRAMES@", std::to_string(frames));
}

std::string gridPage(const std::vector<GridCamera>& cameras) {
    std::string entries;
    for (const GridCamera& camera : cameras) {
        // Camera names hold only letters, digits, '-' and '_'.
        std::string entry = replaced(GridCameraTemplate, "@NAME@", camera.name);
        entry = replaced(entry, "@TITLE@", htmlEscaped(camera.title));
        entry = replaced(entry, "@DOWN@", camera.up ? "" : " down");
        entries += replaced(entry, "@STATE@", camera.up ? "up" : "down");
    }
    return replaced(replaced(GridTemplate, "@COUNT@", std::to_string(cameras.size())), "@CAMERAS@", entries);
}
