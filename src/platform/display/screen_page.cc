// The page that stands for the device's screen. It draws what the server
// pushes and sends input back; it holds no logic of the system.
#include "platform/display/screen_server.h"

namespace sentrel::display {

namespace {

constexpr std::string_view kPage = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Sentrel device</title>
<!--PRELOADS-->
<style>
  :root { --system-font: system-ui, sans-serif; }
/*FONTS*/
  html, body { margin: 0; padding: 0; background: #202124; }
  #screen { position: relative; overflow: hidden; background: #000; touch-action: none;
            user-select: none; -webkit-user-select: none; cursor: default; }
  #screen div { position: absolute; box-sizing: border-box; }
  #screen .text { position: static; white-space: pre-wrap; overflow-wrap: break-word;
                  overflow: hidden; }
  #keys { position: absolute; left: -1000px; top: 0; width: 10px; height: 10px; opacity: 0; }
</style>
</head>
<body>
<div id="screen"></div>
<textarea id="keys" autocomplete="off" autocorrect="off" spellcheck="false"></textarea>
<script>
"use strict";
(() => {
  const screen = document.getElementById("screen");
  const keys = document.getElementById("keys");
  const state = { frames: 0, open: false, waiting: [] };
  window.sentrelScreen = {
    get frames() { return state.frames; },
    get open() { return state.open; },
    // Resolves once `count` screens have been drawn.
    waitForFrames(count) {
      if (state.frames >= count) return Promise.resolve(state.frames);
      return new Promise((resolve) => state.waiting.push({ count, resolve }));
    },
  };

  const rgba = (c) => `rgba(${Math.round(c[0] * 255)}, ${Math.round(c[1] * 255)}, ` +
                      `${Math.round(c[2] * 255)}, ${c[3]})`;
  const place = (el, f) => {
    el.style.left = f[0] + "px"; el.style.top = f[1] + "px";
    el.style.width = f[2] + "px"; el.style.height = f[3] + "px";
  };

  function drawNode(node) {
    const el = document.createElement("div");
    el.dataset.node = node.id;
    place(el, node.frame);
    el.style.backgroundColor = rgba(node.background);
    el.style.opacity = node.alpha;
    if (node.hidden) el.style.visibility = "hidden";
    if (node.cornerRadius > 0) el.style.borderRadius = node.cornerRadius + "px";
    if (node.borderWidth > 0) el.style.border = `${node.borderWidth}px solid ${rgba(node.borderColor)}`;
    if (node.clips) el.style.overflow = "hidden";
    if (node.image) {
      const img = document.createElement("img");
      img.src = node.image;
      img.draggable = false;
      img.alt = "";
      img.style.cssText = "position: absolute; left: 0; top: 0; width: 100%; height: 100%; " +
                          "object-fit: contain; pointer-events: none;";
      el.appendChild(img);
    }
    if (node.text.length > 0) {
      const text = document.createElement("p");
      text.className = "text";
      text.style.margin = "0";
      const inset = node.textInsets || [0, 0, 0, 0];
      if (inset.some((v) => v > 0))
        text.style.padding = `${inset[0]}px ${inset[3]}px ${inset[2]}px ${inset[1]}px`;
      text.style.textAlign = node.alignment === "natural" ? "start" : node.alignment;
      if (node.lines > 0) {
        text.style.display = "-webkit-box";
        text.style.webkitBoxOrient = "vertical";
        text.style.webkitLineClamp = String(node.lines);
      }
      for (const run of node.text) {
        const span = document.createElement("span");
        span.textContent = run.text;
        // The family the process measured with, served by backboardd; the
        // system font (the first served family) when the run names none.
        span.style.fontFamily = run.font ? `"${run.font.replace(/["\\]/g, "")}", var(--system-font)`
                                         : "var(--system-font)";
        span.style.fontWeight = run.weight;
        span.style.fontSize = run.size + "px";
        span.style.color = rgba(run.color);
        text.appendChild(span);
      }
      el.appendChild(text);
    }
    return el;
  }

  // What is on the screen now, by window id: the window's element and, by
  // node id, each node's element and the node it was drawn from (as JSON).
  // A frame changes only what differs from it: unchanged nodes keep their
  // elements, so the browser lays out and paints only what moved.
  const shown = new Map();

  // Puts `el` under `parent` right after `previous` (a node or window
  // element; null: before the first one, after the node's own text and
  // image), unless it is there already.
  function placeAfter(parent, el, previous) {
    let next;
    if (previous !== null) {
      next = previous.nextElementSibling;
    } else {
      next = parent.firstElementChild;
      while (next !== null && next.dataset.node === undefined && next.dataset.window === undefined)
        next = next.nextElementSibling;
    }
    if (next !== el) parent.insertBefore(el, next);
  }

  function drawWindow(win, old) {
    const w = old ? old.el : document.createElement("div");
    if (!old) {
      w.className = "window";
      w.dataset.window = win.id;
      w.style.overflow = "hidden";
    }
    place(w, win.frame);
    w.style.backgroundColor = win.background ? rgba(win.background) : "";
    const before = old ? old.nodes : new Map();
    const nodes = new Map();
    const lastChild = new Map();  // parent element -> its last placed node element
    for (const node of win.nodes) {
      if (nodes.has(node.id)) continue;  // the server sends each id once
      const key = JSON.stringify(node);
      const had = before.get(node.id);
      let el;
      if (had && had.key === key) {
        el = had.el;
      } else {
        el = drawNode(node);
        if (had) {
          // The node changed: its child nodes move to the new element.
          for (const child of [...had.el.children])
            if (child.dataset.node !== undefined) el.appendChild(child);
          had.el.replaceWith(el);
        }
      }
      const parentEntry = node.parent === 0 ? undefined : nodes.get(node.parent);
      const parent = parentEntry ? parentEntry.el : w;
      nodes.set(node.id, { el, key });
      placeAfter(parent, el, lastChild.get(parent) || null);
      lastChild.set(parent, el);
    }
    // Nodes that are gone; their children still shown have moved already.
    for (const [id, had] of before) if (!nodes.has(id)) had.el.remove();
    return { el: w, nodes };
  }

  function draw(message) {
    screen.style.width = message.width + "px";
    screen.style.height = message.height + "px";
    const windows = new Map();
    let previous = null;
    for (const win of message.windows) {
      if (windows.has(win.id)) continue;
      const drawn = drawWindow(win, shown.get(win.id));
      windows.set(win.id, drawn);
      placeAfter(screen, drawn.el, previous);
      previous = drawn.el;
    }
    for (const [id, old] of shown) if (!windows.has(id)) old.el.remove();
    shown.clear();
    for (const [id, drawn] of windows) shown.set(id, drawn);
    state.frames += 1;
    state.waiting = state.waiting.filter((w) => {
      if (state.frames < w.count) return true;
      w.resolve(state.frames);
      return false;
    });
  }

  const socket = new WebSocket(new URL("ws", location.href).href.replace(/^http/, "ws"));
  const send = (message) => {
    if (socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(message));
  };
  socket.onopen = () => { state.open = true; };
  socket.onclose = () => { state.open = false; };
  socket.onmessage = (event) => {
    let message;
    try { message = JSON.parse(event.data); } catch (e) { return; }
    if (message.type === "screen") draw(message);
  };

  // Pointer events in screen points, as touches are.
  let down = null;
  const pointer = (phase, event) => {
    const box = screen.getBoundingClientRect();
    send({ type: "pointer", phase, x: event.clientX - box.left, y: event.clientY - box.top });
  };
  screen.addEventListener("pointerdown", (event) => {
    if (down !== null) return;
    down = event.pointerId;
    screen.setPointerCapture(event.pointerId);
    event.preventDefault();
    keys.focus();
    pointer("down", event);
  });
  screen.addEventListener("pointermove", (event) => {
    if (event.pointerId === down) pointer("move", event);
  });
  screen.addEventListener("pointerup", (event) => {
    if (event.pointerId !== down) return;
    down = null;
    pointer("up", event);
  });
  screen.addEventListener("pointercancel", (event) => {
    if (event.pointerId !== down) return;
    down = null;
    pointer("cancel", event);
  });

  // Typed text goes through a hidden text area that keeps the focus.
  keys.addEventListener("input", () => {
    if (keys.value.length > 0) send({ type: "text", text: keys.value });
    keys.value = "";
  });
  keys.focus();
})();
</script>
</body>
</html>
)PAGE";

}  // namespace

std::string screenPageHtml(const std::vector<ServedFont>& fonts) {
  // The fonts start loading with the page, before its first screen comes.
  std::string preloads;
  for (const ServedFont& font : fonts) {
    preloads += "<link rel=\"preload\" as=\"font\" type=\"" + font.content_type +
                "\" href=\"fonts/" + font.name + "\" crossorigin>\n";
  }
  std::string page(kPage);
  auto put = [&page](std::string_view mark, const std::string& text) {
    page.replace(page.find(mark), mark.size(), text);
  };
  put("<!--PRELOADS-->\n", preloads);
  put("/*FONTS*/\n", fontFaceCss(fonts));
  return page;
}

}  // namespace sentrel::display
