// The camera page of `vorc serve`, filled in from its template.
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
body { margin: 0; display: flex; flex-direction: column; overflow: hidden;
       background: #202020; color: #e0e0e0; font: 14px sans-serif; }
#picture { display: block; flex: 0 1 auto; align-self: flex-start; min-height: 0; max-width: 100%;
           object-fit: contain; object-position: left top; }
p { margin: 8px; flex: none; }
</style>
</head>
<body>
<img id="picture" src="@BASE@stream.mjpg" data-base="@BASE@" alt="live picture of @NAME@">
<p>@NAME@: <span id="size">@SIZE@</span>, <span id="fps">-</span> frames/s,
<span id="frames">@FRAMES@</span> frames so far<span id="down"></span></p>
<script>
const base = document.getElementById('picture').dataset.base;
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
</script>
</body>
</html>
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
