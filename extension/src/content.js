// The in-page card: a closed shadow root, so the page's styles neither reach in nor out and page scripts
// cannot read the explanation. Injected on demand; a second injection reuses the first card.
"use strict";

(() => {
  if (globalThis.ulvoCard) {
    return;
  }
  const api = globalThis.browser ?? globalThis.chrome;
  const DEFAULT_LEVEL = 25;

  const STYLE = `
    :host { all: initial; }
    .card { position: fixed; z-index: 2147483647; width: 360px; max-width: calc(100vw - 24px);
      max-height: calc(100vh - 24px); overflow: auto; box-sizing: border-box; padding: 12px 14px;
      border-radius: 12px; background: #1f2124; color: #f2f2f2; box-shadow: 0 8px 28px rgba(0,0,0,.35);
      font: 14px/1.45 system-ui, sans-serif; text-align: left; }
    header { display: flex; align-items: center; gap: 8px; margin-bottom: 8px; }
    header strong { flex: 1; font-size: 13px; letter-spacing: .04em; }
    button { font: inherit; color: inherit; background: #33363b; border: 0; border-radius: 6px;
      padding: 4px 10px; cursor: pointer; }
    button:hover { background: #43474d; }
    .level { display: flex; align-items: center; gap: 8px; font-size: 12px; color: #c8c8c8; }
    .level input { flex: 1; }
    .answer { white-space: pre-wrap; margin: 10px 0; }
    .error { color: #ffb4a8; margin: 10px 0; }
    .loading { color: #a8a8a8; font-style: italic; }
    .followups > div { margin: 8px 0; }
    .followups .q { color: #a9c7ff; }
    form { display: flex; gap: 6px; margin-top: 8px; }
    form input { flex: 1; font: inherit; color: inherit; background: #2a2d31; border: 1px solid #44484e;
      border-radius: 6px; padding: 4px 8px; }
    [hidden] { display: none !important; }`;

  const host = document.createElement("ulvo-card");
  const root = host.attachShadow({ mode: "closed" });
  root.innerHTML = `
    <style>${STYLE}</style>
    <div class="card" role="dialog" aria-label="ULVO explanation">
      <header>
        <strong>ULVO</strong>
        <button class="copy" type="button" title="Copy the explanation">Copy</button>
        <button class="close" type="button" title="Close" aria-label="Close">\u00d7</button>
      </header>
      <label class="level">Level <input type="range" min="0" max="100" step="1"><output></output></label>
      <div class="loading" hidden>Explaining\u2026</div>
      <div class="answer" aria-live="polite"></div>
      <div class="error" role="alert" hidden></div>
      <div class="followups"></div>
      <form><input type="text" placeholder="Ask a follow-up question" aria-label="Follow-up question">
        <button type="submit">Ask</button></form>
    </div>`;

  const $ = (selector) => root.querySelector(selector);
  const card = $(".card");
  const slider = $(".level input");
  const levelOut = $(".level output");
  const loading = $(".loading");
  const answer = $(".answer");
  const error = $(".error");
  const followups = $(".followups");
  const form = $("form");
  const question = $("form input");

  const state = { text: "", level: DEFAULT_LEVEL, generation: 0, busy: 0 };

  // Every event inside the card stays there, so page shortcuts do not fire while typing.
  for (const type of ["keydown", "keyup", "keypress", "mousedown", "mouseup", "click"]) {
    host.addEventListener(type, (event) => event.stopPropagation());
  }

  function setBusy(delta) {
    state.busy += delta;
    loading.hidden = state.busy === 0;
  }

  function showError(message) {
    error.textContent = message;
    error.hidden = !message;
  }

  // The answer so far of the requests in flight, by key.
  const partials = new Map();
  let nextKey = 1;

  async function ask(request, onPartial) {
    const key = `${nextKey++}`;
    if (onPartial) {
      partials.set(key, onPartial);
    }
    try {
      const reply = await api.runtime.sendMessage({ kind: "ulvo-ask", request, key });
      return reply ?? { ok: false, error: "ULVO did not answer. Try again." };
    } catch {
      return { ok: false, error: "ULVO did not answer. Try again." };
    } finally {
      partials.delete(key);
    }
  }

  async function explain() {
    const generation = ++state.generation;
    answer.textContent = "";
    followups.textContent = "";
    showError("");
    if (!state.text.trim()) {
      showError("Select some text first.");
      return;
    }
    setBusy(1);
    const reply = await ask({ type: "explain", text: state.text, level: state.level }, (text) => {
      if (generation === state.generation) {
        answer.textContent = text;
      }
    });
    setBusy(-1);
    if (generation !== state.generation || reply.superseded) {
      return; // a newer selection or level replaced this request
    }
    if (reply.ok) {
      answer.textContent = reply.answer;
    } else {
      answer.textContent = ""; // what arrived before the failure is not an answer
      showError(reply.error);
    }
  }

  async function followup(text) {
    const generation = state.generation;
    const entry = document.createElement("div");
    const q = document.createElement("div");
    q.className = "q";
    q.textContent = text;
    const a = document.createElement("div");
    a.className = "a";
    entry.append(q, a);
    followups.append(entry);
    setBusy(1);
    const reply = await ask({ type: "followup", text: state.text, question: text, level: state.level }, (partial) => {
      if (generation === state.generation) {
        a.textContent = partial;
      }
    });
    setBusy(-1);
    if (generation !== state.generation || reply.superseded) {
      return;
    }
    if (reply.ok) {
      a.textContent = reply.answer;
    } else {
      a.className = "error";
      a.textContent = reply.error;
    }
  }

  function place() {
    const selection = getSelection();
    let rect = null;
    if (selection && selection.rangeCount > 0) {
      rect = selection.getRangeAt(0).getBoundingClientRect();
    }
    const width = Math.min(360, innerWidth - 24);
    let left = rect && rect.width + rect.height > 0 ? rect.left : innerWidth - width - 12;
    let top = rect && rect.width + rect.height > 0 ? rect.bottom + 8 : 12;
    left = Math.max(12, Math.min(left, innerWidth - width - 12));
    if (top > innerHeight - 160) {
      top = Math.max(12, (rect ? rect.top : innerHeight) - 8 - Math.min(320, innerHeight / 2));
    }
    card.style.left = `${left}px`;
    card.style.top = `${top}px`;
  }

  function show(text) {
    state.text = text;
    slider.value = String(state.level);
    levelOut.textContent = String(state.level);
    if (!host.isConnected) {
      (document.body ?? document.documentElement).append(host);
    }
    place();
    explain();
  }

  function copy() {
    const parts = [answer.textContent];
    for (const entry of followups.children) {
      parts.push(`${entry.firstChild.textContent}\n${entry.lastChild.textContent}`);
    }
    const text = parts.filter(Boolean).join("\n\n");
    navigator.clipboard?.writeText(text).catch(() => {
      const area = document.createElement("textarea");
      area.value = text;
      root.append(area);
      area.select();
      document.execCommand("copy");
      area.remove();
    });
  }

  slider.addEventListener("input", () => {
    levelOut.textContent = slider.value;
  });
  slider.addEventListener("change", () => {
    state.level = Number(slider.value);
    explain();
  });
  form.addEventListener("submit", (event) => {
    event.preventDefault();
    const text = question.value.trim();
    if (text) {
      question.value = "";
      followup(text);
    }
  });
  $(".close").addEventListener("click", () => {
    state.generation++;
    host.remove();
  });
  $(".copy").addEventListener("click", copy);
  root.addEventListener("keydown", (event) => {
    if (event.key === "Escape") {
      $(".close").click();
    }
  });

  api.runtime.onMessage.addListener((message, _sender, sendResponse) => {
    if (message?.kind === "ulvo-show") {
      show(String(message.text ?? ""));
      sendResponse(true);
    } else if (message?.kind === "ulvo-partial") {
      partials.get(message.key)?.(String(message.text ?? ""));
    }
    return false;
  });

  // The card's parts, visible only in this extension's isolated world.
  globalThis.ulvoCard = { root, slider, question, form, answer, error, followups, loading, state };
})();
