#include "tools/tmsctl/StatusPage.h"

#include <string>

namespace tmsctl {

namespace {

// Sections are drawn from the members a channel has: a member the reader
// does not give (GPI outputs without the RTS, a timecode without its
// resource) is simply not drawn. A float the writer left odd comes as null
// and is drawn "n/a"; a card that still fails to draw is replaced by a
// note, so that one channel cannot stop the others.
const char kPage[] = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Channel status</title>
<style>
body { font: 14px/1.4 sans-serif; margin: 0; background: #16181c; color: #e8e8e8; }
header { padding: 8px 16px; background: #23262d; display: flex; gap: 16px; align-items: baseline; }
header h1 { font-size: 18px; margin: 0; }
#conn.down { color: #ff6b6b; }
#channels { display: flex; flex-wrap: wrap; gap: 12px; padding: 12px; }
.card { background: #23262d; border-radius: 6px; padding: 10px 14px; min-width: 380px;
        border-left: 6px solid #4caf50; }
.card.stale { border-left-color: #ffb300; }
.card.gone, .card.none, .card.unpublished { border-left-color: #ff6b6b; opacity: .75; }
.card h2 { font-size: 16px; margin: 0 0 6px; }
.pub { font-weight: bold; }
.pub.live { color: #4caf50; } .pub.stale { color: #ffb300; } .pub.gone { color: #ff6b6b; }
.big { font: 28px monospace; }
table { border-collapse: collapse; }
td, th { padding: 1px 8px 1px 0; text-align: left; vertical-align: top; }
th { color: #9aa0aa; font-weight: normal; }
.lamps span { display: inline-block; width: 14px; height: 14px; margin-right: 2px;
              border-radius: 7px; background: #444; font-size: 0; }
.lamps span.on { background: #ffd54f; }
.lamps span.gap { margin-left: 8px; }
.error { color: #ff6b6b; }
pre { color: #9aa0aa; font-size: 12px; margin: 6px 0 0; }
#empty { padding: 16px; }
</style>
</head>
<body>
<header><h1>Channel status</h1><span id="conn">connecting</span><span id="updated"></span></header>
<div id="empty" hidden>No channel has published anything yet.</div>
<div id="channels"></div>
<script id="initial" type="application/json">@INITIAL@</script>
<script>
"use strict";
const kRefreshMs = 100;

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined && text !== null) e.textContent = String(text);
  return e;
}
function row(table, name, value) {
  const tr = el("tr");
  tr.appendChild(el("th", null, name));
  const td = el("td");
  if (value instanceof Node) td.appendChild(value); else td.textContent = String(value);
  tr.appendChild(td);
  table.appendChild(tr);
}
// A number with digits decimals; "n/a" for what is not one (null).
function num(x, digits) {
  return typeof x === "number" && isFinite(x) ? x.toFixed(digits) : "n/a";
}
// 32 lamps, number 0 first, in groups of eight.
function lamps(bits, count, title) {
  const d = el("span", "lamps");
  d.title = title;
  for (let n = 0; n < count; ++n) {
    const s = el("span", ((bits >>> n) & 1 ? "on" : "") + (n > 0 && n % 8 === 0 ? " gap" : ""), n);
    s.dataset.input = n;
    d.appendChild(s);
  }
  return d;
}
function ring(r) {
  if (!r) return "not published";
  return r.indexValid ? "cycle " + r.cycle + " slot " + r.slot
                      : "ring index " + r.index + " out of range";
}
function publisherText(p) {
  if (p.state === "live") return "live (process " + p.pid + ")";
  if (p.state === "stale") return "stale: no cycle for " + Math.floor(p.ageMs / 1000) + " s";
  if (p.state === "gone") return "publisher gone (process " + p.pid + "): values frozen";
  return "no publisher";
}

// One renderer per member; those of resources that do not publish yet draw
// nothing until the member appears.
const sections = [
  function context(c, t) {
    const x = c.context;
    if (!x) { row(t, "context", "not published"); return; }
    const pos = el("span", "big position", x.timecode || (x.position + " fields"));
    pos.dataset.position = x.position;
    row(t, "position", pos);
    row(t, "fields", x.position);
    row(t, "port", (x.portState || ("state " + x.portStateCode)) + "  speed " + num(x.speed, 2));
    row(t, "movie", x.movie + (x.uri ? "  (" + x.uri + ")" : ""));
    row(t, "marks", "in " + x.markIn.position + " " + x.markIn.text +
                    "   out " + x.markOut.position + " " + x.markOut.text);
    if (x.limits.some(l => l !== null)) row(t, "limits", x.limits.map(l => l || "-").join("  "));
  },
  function contexts(c, t) {
    for (const a of c.contexts) row(t, "context " + a.index, a.uri);
  },
  function storage(c, t) {
    if (c.storage.length === 0) { row(t, "storage", "none"); return; }
    for (const s of c.storage) {
      row(t, "storage " + s.index, s.volume + "  free " + Math.floor(s.freeBytes / 1048576) +
          " of " + Math.floor(s.totalBytes / 1048576) + " MiB  record " + s.remainingText +
          "  " + s.state);
    }
  },
  function gpi(c, t) {
    row(t, "GPI inputs", lamps(c.gpiInputs.bits, 32, "GPI inputs"));
    if (c.gpiOutputs) row(t, "GPI outputs", lamps(c.gpiOutputs.bits, 32, "GPI outputs"));
  },
  function video(c, t) {
    if (c.video) row(t, "video", ring(c.video.ring) + "  field size " + c.video.fieldSize +
                             "  " + c.video.pixelCoding);
  },
  function timecode(c, t) {
    const x = c.timecode;
    if (!x) return;
    row(t, "timecode", el("span", "big timecode", x.timecode));
    row(t, "time of day", x.timeOfDay + "  mode " + x.mode + "  word 0x" +
        (x.word >>> 0).toString(16).toUpperCase().padStart(8, "0"));
  },
  function audio(c, t) {
    for (const a of c.audio || []) {
      row(t, "audio " + a.index, !a.ring ? "not published"
          : num(a.levelDb, 1) + " dBFS  gain in " + num(a.inputGainDb, 1) + " dB out " +
            num(a.outputGainDb, 1) + " dB");
    }
  },
];

function safeCard(c) {
  try {
    return card(c);
  } catch (e) {
    const d = el("div", "card gone");
    d.id = "channel-" + c.channel;
    d.appendChild(el("h2", null, "Channel " + c.channel));
    d.appendChild(el("div", "error", "cannot draw this channel: " + e.message));
    return d;
  }
}
function card(c) {
  const d = el("div", "card");
  d.id = "channel-" + c.channel;
  d.dataset.channel = c.channel;
  if (!c.published) {
    d.classList.add("unpublished");
    d.appendChild(el("h2", null, "Channel " + c.channel));
    d.appendChild(el("div", null, "nothing published yet"));
    return d;
  }
  d.classList.add(c.publisher.state);
  d.appendChild(el("h2", null, "Channel " + c.channel + "  " + c.id));
  const t = el("table");
  row(t, "type", c.type);
  row(t, "format", c.format.name + " (" + c.format.number + ", " + c.format.fieldsPerFrame +
                   " fields/frame)");
  row(t, "publisher", el("span", "pub " + c.publisher.state, publisherText(c.publisher)));
  row(t, "channel", ring(c.channelRing) + (c.offline ? "  OFFLINE" : "") +
                    (c.serverOffline ? "  SERVER OFFLINE" : ""));
  for (const s of sections) s(c, t);
  if (!c.consistent) row(t, "note", "status mutex not taken: values may be torn");
  d.appendChild(t);
  const details = el("details");
  details.appendChild(el("summary", null, "as tmsctl watch shows it"));
  details.appendChild(el("pre", null, c.text));
  d.appendChild(details);
  return d;
}

const open = new Set();
function draw(data) {
  const root = document.getElementById("channels");
  root.querySelectorAll("details[open]").forEach(d => open.add(d.parentNode.id));
  root.replaceChildren(...data.channels.map(safeCard));
  for (const id of open) {
    const d = document.querySelector("#" + id + " details");
    if (d) d.open = true;
  }
  open.clear();
  document.getElementById("empty").hidden = data.channels.length !== 0;
}

// The next poll is due kRefreshMs after this one started, not after it
// ended, so that the page asks ten times a second while the answers come
// quicker than that.
async function poll() {
  const started = performance.now();
  const conn = document.getElementById("conn");
  try {
    const r = await fetch("/api/channels", {cache: "no-store"});
    if (!r.ok) throw new Error("HTTP " + r.status);
    draw(await r.json());
    conn.textContent = "live";
    conn.className = "";
    document.getElementById("updated").textContent = new Date().toLocaleTimeString();
  } catch (e) {
    conn.textContent = "server unreachable: " + e.message;
    conn.className = "down";
  }
  setTimeout(poll, Math.max(0, kRefreshMs - (performance.now() - started)));
}
// The channels as they were when the page was served: drawn at once, so
// that the first paint already shows them.
try {
  draw(JSON.parse(document.getElementById("initial").textContent));
} catch (e) {
}
setTimeout(poll, kRefreshMs);
</script>
</body>
</html>
)PAGE";

}  // namespace

std::string StatusPageHtml(const std::string& initialJson) {
    // Inside a script element only "</script" ends it; JSON has "<" nowhere
    // but in strings, where \u003c is the same character.
    std::string escaped;
    for (char c : initialJson) {
        escaped += c == '<' ? std::string("\\u003c") : std::string(1, c);
    }
    std::string page = kPage;
    const std::size_t at = page.find("@INITIAL@");
    return page.replace(at, 9, escaped);
}

}  // namespace tmsctl
