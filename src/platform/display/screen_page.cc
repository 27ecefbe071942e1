// The page that stands for the device's screen. It draws what the server
// pushes and sends input back; it holds no logic of the system.
#include "platform/display/screen_server.h"

#include <cmath>
#include <cstdio>

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

  // Animations the page runs, by window, node and animation id: a later
  // screen that still carries one puts it on the new element at the time
  // it first started, so it goes on rather than starting again.
  const running = new Map();
  const identity = [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1];
  // The layer's matrix is for row vectors; CSS lists a column-vector
  // matrix by columns, which is the same sixteen numbers in the same order.
  const matrix = (m) => `matrix3d(${m.join(", ")})`;
  const easings = { easeInOut: "ease-in-out", easeIn: "ease-in", easeOut: "ease-out",
                    linear: "linear" };

  // A damped spring from 0 to 1 that settles (to 0.1 %) by the end of the
  // duration, sampled as a linear() easing. Damping ratio in (0, 1], initial
  // velocity in whole changes per second.
  function springEasing(a) {
    const zeta = Math.min(1, Math.max(0.01, a.damping));
    const v0 = a.velocity;
    const d = a.duration;
    const w0 = Math.log(1000) / (zeta * d);
    const wd = w0 * Math.sqrt(Math.max(0, 1 - zeta * zeta));
    const cycles = wd * d / (2 * Math.PI);
    const n = Math.min(400, Math.max(64, Math.ceil(cycles * 12)));
    const points = [];
    for (let i = 0; i <= n; i += 1) {
      const t = d * i / n;
      let x;
      if (zeta < 1) {
        x = 1 - Math.exp(-zeta * w0 * t) *
                (Math.cos(wd * t) + ((zeta * w0 - v0) / wd) * Math.sin(wd * t));
      } else {
        x = 1 - Math.exp(-w0 * t) * (1 + (w0 - v0) * t);
      }
      points.push(i === 0 ? 0 : i === n ? 1 : Number(x.toFixed(4)));
    }
    return `linear(${points.join(", ")})`;
  }

  function keyframes(a, node) {
    switch (a.property) {
      case "frame": {
        const box = (f) => ({ left: f[0] + "px", top: f[1] + "px",
                              width: f[2] + "px", height: f[3] + "px" });
        return [box(a.from), box(node.frame)];
      }
      case "alpha": return [{ opacity: a.from[0] }, { opacity: node.alpha }];
      case "background":
        return [{ backgroundColor: rgba(a.from) }, { backgroundColor: rgba(node.background) }];
      case "transform":
        return [{ transform: matrix(a.from) }, { transform: matrix(node.transform || identity) }];
    }
    return null;
  }

  function animate(el, node, key, a, now, lag, seen) {
    const frames = keyframes(a, node);
    if (!frames) return;
    let record = running.get(key);
    if (!record) {
      const age = a.elapsed * 1000 + lag;
      if (age >= (a.delay + a.duration) * 1000) return;  // over before it was seen
      record = { startTime: now - age };
      running.set(key, record);
    }
    seen.add(key);
    try {
      const animation = el.animate(frames, {
        duration: a.duration * 1000,
        delay: a.delay * 1000,
        easing: a.curve === "spring" ? springEasing(a) : easings[a.curve] || "ease-in-out",
        fill: "backwards",
      });
      animation.id = key;
      animation.startTime = record.startTime;
    } catch (e) {
      // A value the browser does not take: the node shows its final value.
    }
  }

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
    if (node.transform) el.style.transform = matrix(node.transform);
    if (node.z !== 0) el.dataset.z = node.z;
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
      if (node.verticalAlignment === "center") {
        // A label: the text in the middle of its height, as the toolkit
        // measured it; what does not fit is cut at the bottom.
        el.style.display = "flex";
        el.style.flexDirection = "column";
        el.style.justifyContent = "center";
        text.style.flex = "none";
        text.style.maxHeight = "100%";
      }
      // The family the process measured with, served by backboardd; the
      // system font (the first served family) when the run names none.
      const family = (run) => run.font ? `"${run.font.replace(/["\\]/g, "")}", var(--system-font)`
                                       : "var(--system-font)";
      // Every line box starts from the paragraph's own font: the smallest
      // run's, so that a line is as tall as the toolkit measured it (the
      // page's default 16px would make lines of smaller text taller, and
      // the last lines of a long label would be cut).
      const strut = node.text.reduce((a, b) => (b.size < a.size ? b : a));
      text.style.fontFamily = family(strut);
      text.style.fontWeight = strut.weight;
      text.style.fontSize = strut.size + "px";
      for (const run of node.text) {
        const span = document.createElement("span");
        span.textContent = run.text;
        span.style.fontFamily = family(run);
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

  // The window's nodes in the order they are put on the page: parents
  // before their children, siblings in list order and then by z position (a
  // stable sort keeps the list order among equals). A node whose parent is
  // not in the window is drawn at the top.
  function drawingOrder(win) {
    const present = new Set(win.nodes.map((node) => node.id));
    const children = new Map();
    for (const node of win.nodes) {
      const parent = node.parent !== 0 && present.has(node.parent) ? node.parent : 0;
      if (!children.has(parent)) children.set(parent, []);
      children.get(parent).push(node);
    }
    for (const list of children.values()) list.sort((p, q) => (p.z || 0) - (q.z || 0));
    const order = [];
    const visit = (list) => {
      for (const node of list) {
        order.push(node);
        const own = children.get(node.id);
        if (own && node.id !== 0) {
          children.delete(node.id);  // each subtree once, whatever the ids say
          visit(own);
        }
      }
    };
    const roots = children.get(0) || [];
    children.delete(0);
    visit(roots);
    return order;
  }

  // Draws one window, keeping the elements of the nodes that did not change
  // since `old`. Animations to start go to `pending`; the keys of those
  // still running go to `seen`.
  function drawWindow(win, old, pending, seen) {
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
    for (const node of drawingOrder(win)) {
      if (nodes.has(node.id)) continue;  // the server sends each id once
      // A running animation's age changes with every screen; it does not
      // make the node a new one.
      const { animations, ...drawn } = node;
      const key = JSON.stringify(drawn);
      const had = before.get(node.id);
      let el;
      const kept = had !== undefined && had.key === key;
      if (kept) {
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
      nodes.set(node.id, { el, key, animated: (animations || []).length > 0 });
      placeAfter(parent, el, lastChild.get(parent) || null);
      lastChild.set(parent, el);
      const current = new Set();
      for (const a of animations || []) {
        const animationKey = `${win.id}/${node.id}/${a.id}`;
        current.add(animationKey);
        if (kept && running.has(animationKey)) {
          seen.add(animationKey);  // still playing on the kept element
        } else {
          pending.push({ el, node, key: animationKey, a });
        }
      }
      // A screen without an animation ends it: the model value shows. Only
      // asked of an element that had some (asking makes the page work out
      // its styles).
      if (kept && had.animated)
        for (const played of el.getAnimations()) if (!current.has(played.id)) played.cancel();
    }
    // Nodes that are gone; their children still shown have moved already.
    for (const [id, had] of before) if (!nodes.has(id)) had.el.remove();
    return { el: w, nodes };
  }

  function draw(message) {
    screen.style.width = message.width + "px";
    screen.style.height = message.height + "px";
    const now = document.timeline.currentTime || performance.now();
    // How long the message waited (a page that connects late gets the last
    // one again); the page and backboardd share the machine's wall clock.
    const waited = Date.now() - message.sentAt;
    const lag = Number.isFinite(waited) && waited > 0 && waited < 86400000 ? waited : 0;
    const seen = new Set();
    const pending = [];
    const windows = new Map();
    let previous = null;
    for (const win of message.windows) {
      if (windows.has(win.id)) continue;
      const drawn = drawWindow(win, shown.get(win.id), pending, seen);
      windows.set(win.id, drawn);
      placeAfter(screen, drawn.el, previous);
      previous = drawn.el;
    }
    for (const [id, old] of shown) if (!windows.has(id)) old.el.remove();
    shown.clear();
    for (const [id, drawn] of windows) shown.set(id, drawn);
    // Elements animate once they are in the document.
    for (const { el, node, key, a } of pending) animate(el, node, key, a, now, lag, seen);
    for (const key of running.keys()) if (!seen.has(key)) running.delete(key);
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

std::string screenPageHtml(const std::vector<ServedFont>& fonts, double line_height_ems) {
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
  std::string css = fontFaceCss(fonts);
  if (std::isfinite(line_height_ems) && line_height_ems > 0 && line_height_ems < 10) {
    char rule[96];
    std::snprintf(rule, sizeof rule, "  #screen .text, #screen .text span { line-height: %.6f; }\n",
                  line_height_ems);
    css += rule;
  }
  put("/*FONTS*/\n", css);
  return page;
}

}  // namespace sentrel::display
