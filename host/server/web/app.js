// The page: photos chosen or dropped, an effect applied to each through
// POST /api/apply/{effect}, result beside the original. Everything stays in
// this page (blob: URLs); nothing is loaded from anywhere else.
"use strict";

const ALL = "all";
const AT_ONCE = 2;      // requests in flight; the server queues a few more
const RETRIES = 5;      // after a 503, each time after its Retry-After
const SHOWN = new Set(["bmp", "png", "jpg", "webp", "avif"]); // formats a browser shows

const state = {
  effects: [],          // names, from /api/effects
  writes: [],
  photos: [],           // {file, element, urls: []}
  queue: [],
  running: 0,
  done: 0,
  total: 0,
};

const $ = (selector, root = document) => root.querySelector(selector);

function say(text) {
  $("#status").textContent = text;
}

// The header as sent: percent-encoded UTF-8, possibly with bytes that are not UTF-8.
function decodeLines(value) {
  if (!value) return "";
  try {
    return decodeURIComponent(value);
  } catch (e) {
    return value.replace(/%([0-9A-F]{2})/g, (_, h) => {
      const c = parseInt(h, 16);
      return c < 128 ? String.fromCharCode(c) : "\uFFFD";
    });
  }
}

function formatOf(file) {
  const m = /\.([A-Za-z0-9]+)$/.exec(file.name);
  const ext = m ? m[1].toLowerCase() : "";
  return { jpeg: "jpg", tiff: "tif", heif: "heic" }[ext] || ext;
}

function baseName(file) {
  return file.name.replace(/\.[^.]*$/, "") || "photo";
}

// The format to ask for: the one chosen, else the photo's own, unless the
// browser could not show that one (HEIC, TIFF): then JPEG, where written.
function answerFormat(file) {
  const chosen = $("#format").value;
  if (chosen) return chosen;
  const own = formatOf(file);
  if (SHOWN.has(own) || !state.writes.includes("jpg")) return "";
  return state.writes.includes(own) ? "jpg" : "";
}

async function loadEffects() {
  const box = $("#effects");
  try {
    const response = await fetch("/api/effects");
    if (!response.ok) throw new Error("status " + response.status);
    const info = await response.json();
    state.effects = info.effects.map((e) => e.name);
    state.writes = info.writes;
    box.textContent = "";
    for (const name of state.effects.concat([ALL])) {
      const button = document.createElement("button");
      button.type = "button";
      button.className = "effect";
      button.dataset.effect = name;
      button.textContent = name === ALL ? "All four" : name[0].toUpperCase() + name.slice(1);
      button.addEventListener("click", () => applyToAll(name));
      box.appendChild(button);
    }
    for (const f of info.writes) {
      const option = document.createElement("option");
      option.value = f;
      option.textContent = f.toUpperCase();
      $("#format").appendChild(option);
    }
    $("#reads").textContent = "Reads " + info.reads.map((f) => f.toUpperCase()).join(", ") +
      ", up to " + Math.round(info.max_upload_bytes / 1e6) + " MB and " + info.max_megapixels + " megapixels.";
    enableButtons();
  } catch (e) {
    box.textContent = "";
    const p = document.createElement("p");
    p.className = "error";
    p.setAttribute("role", "alert");
    p.textContent = "The server did not list its effects (" + e.message + "). Is it still running?";
    box.appendChild(p);
  }
}

function enableButtons() {
  for (const b of document.querySelectorAll("button.effect")) b.disabled = state.photos.length === 0;
}

function addPhotos(files) {
  for (const file of files) {
    const element = $("#photo-template").content.firstElementChild.cloneNode(true);
    const photo = { file, element, urls: [] };
    $(".photo-name", element).textContent = file.name + " (" + Math.max(1, Math.round(file.size / 1024)) + " KB)";
    const img = $(".original img", element);
    const url = URL.createObjectURL(file);
    photo.urls.push(url);
    img.alt = "Original: " + file.name;
    img.addEventListener("error", () => {
      img.replaceWith(note("This browser cannot show " + file.name + " itself."));
    });
    img.src = url;
    $(".remove", element).addEventListener("click", () => removePhoto(photo));
    $(".remove", element).setAttribute("aria-label", "Remove " + file.name);
    state.photos.push(photo);
    $("#photos").appendChild(element);
  }
  enableButtons();
  if (files.length) say(state.photos.length + " photo(s) ready: pick an effect.");
}

function removePhoto(photo) {
  for (const u of photo.urls) URL.revokeObjectURL(u);
  photo.element.remove();
  state.photos = state.photos.filter((p) => p !== photo);
  enableButtons();
  const next = $("#photos .remove") || $("#files");
  next.focus();
}

function note(text, kind = "hint") {
  const p = document.createElement("p");
  p.className = kind;
  if (kind === "error") p.setAttribute("role", "alert");
  p.textContent = text;
  return p;
}

// Clears a photo's earlier results (and their blob URLs) for new ones.
function clearResults(photo) {
  const keep = photo.urls.slice(0, 1);
  for (const u of photo.urls.slice(1)) URL.revokeObjectURL(u);
  photo.urls = keep;
  const box = $(".results", photo.element);
  box.textContent = "";
  return box;
}

function applyToAll(effect) {
  const names = effect === ALL ? state.effects : [effect];
  for (const photo of state.photos) {
    const box = clearResults(photo);
    box.classList.toggle("grid", names.length > 1);
    for (const name of names) {
      const figure = $("#result-template").content.firstElementChild.cloneNode(true);
      figure.dataset.effect = name;
      $(".effect-name", figure).textContent = name;
      box.appendChild(figure);
      state.queue.push({ photo, name, figure });
      state.total++;
    }
  }
  progress();
  pump();
}

function progress() {
  if (state.done < state.total) say("Working: " + state.done + " of " + state.total + " done.");
  else if (state.total) say("Done: " + state.total + " result(s).");
}

function pump() {
  while (state.running < AT_ONCE && state.queue.length) {
    const task = state.queue.shift();
    state.running++;
    run(task).finally(() => {
      state.running--;
      state.done++;
      progress();
      pump();
    });
  }
  if (!state.queue.length && !state.running) {
    state.done = state.total = 0;
  }
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function run({ photo, name, figure }) {
  if (!figure.isConnected) return;
  const format = answerFormat(photo.file);
  const url = "/api/apply/" + encodeURIComponent(name) + (format ? "?format=" + format : "");
  try {
    for (let attempt = 0; ; attempt++) {
      const response = await fetch(url, { method: "POST", body: photo.file });
      if (response.status === 503 && attempt < RETRIES) {
        const wait = parseInt(response.headers.get("Retry-After") || "2", 10);
        $(".working", figure).textContent = "Waiting for a free place…";
        await sleep(Math.min(Math.max(wait, 1), 10) * 1000);
        continue;
      }
      if (!response.ok) {
        let message = "the server answered " + response.status;
        try {
          message = (await response.json()).error || message;
        } catch (e) { /* not JSON: keep the status */ }
        return failed(figure, photo, name, message);
      }
      return shown(figure, photo, name, response, await response.blob());
    }
  } catch (e) {
    return failed(figure, photo, name, "the server could not be reached (" + e.message + ")");
  }
}

function failed(figure, photo, name, message) {
  figure.dataset.state = "error";
  const frame = $(".frame", figure);
  frame.textContent = "";
  frame.appendChild(note(photo.file.name + ": " + message, "error"));
}

function shown(figure, photo, name, response, blob) {
  const url = URL.createObjectURL(blob);
  photo.urls.push(url);
  const type = (response.headers.get("Content-Type") || "").split("/")[1] || "bin";
  const ext = { jpeg: "jpg", tiff: "tif" }[type] || type;
  const found = response.headers.get("X-Tavrin-Face") === "found";
  const frame = $(".frame", figure);
  frame.textContent = "";
  const img = document.createElement("img");
  img.className = "result-image";
  img.alt = photo.file.name + " with the " + name + " effect";
  img.addEventListener("load", () => { figure.dataset.state = "done"; }, { once: true });
  img.addEventListener("error", () => {
    figure.dataset.state = "done";
    img.replaceWith(note("This browser cannot show the result; download it instead."));
  }, { once: true });
  img.src = url;
  frame.appendChild(img);
  $(".face", figure).textContent = found ? "face found" : "no face found";
  const link = $(".download", figure);
  link.href = url;
  link.download = baseName(photo.file) + "-" + name + "." + ext;
  link.textContent = "Download " + link.download;
  link.hidden = false;
  const lines = [decodeLines(response.headers.get("X-Tavrin-Stdout")),
                 decodeLines(response.headers.get("X-Tavrin-Stderr"))].filter(Boolean).join("\n");
  const details = $(".lines", figure);
  $("pre", details).textContent = lines || "(nothing)";
  details.hidden = false;
}

function setUpDrop() {
  const drop = $("#drop");
  const input = $("#files");
  input.addEventListener("change", () => {
    addPhotos(Array.from(input.files));
    input.value = "";
  });
  for (const type of ["dragenter", "dragover"]) {
    document.addEventListener(type, (e) => {
      e.preventDefault();
      drop.classList.add("over");
    });
  }
  for (const type of ["dragleave", "dragend"]) {
    document.addEventListener(type, (e) => {
      if (e.target === document.documentElement || e.target === drop) drop.classList.remove("over");
    });
  }
  document.addEventListener("drop", (e) => {
    e.preventDefault();
    drop.classList.remove("over");
    addPhotos(Array.from(e.dataTransfer.files));
  });
}

setUpDrop();
loadEffects();
