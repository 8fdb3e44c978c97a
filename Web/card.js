// The card page: shows the selection, asks the native side for explanations and shows the replies.
"use strict";

(function () {
  const DEFAULT_LEVEL = 25;
  const LEVEL_DEBOUNCE_MS = 450;

  const $ = (id) => document.getElementById(id);
  const ui = {
    toggle: $("toggle-selection"), selection: $("selection-text"), empty: $("empty-selection"),
    paste: $("paste-text"), usePasted: $("use-pasted"), fetch: $("fetch-selection"),
    level: $("level"), levelValue: $("level-value"), band: $("level-band"),
    region: $("answer-region"), status: $("status"), statusText: $("status-text"),
    error: $("error"), answer: $("answer"), thread: $("thread"),
    form: $("followup-form"), followup: $("followup"), ask: $("ask"),
    note: $("accessibility-note"), copy: $("copy"), close: $("close"), feedback: $("copy-feedback"),
    offer: $("model-offer"), download: $("download-model"), useCloud: $("use-cloud"),
    modelProgress: $("model-progress"), modelStatus: $("model-status"),
    readAloud: $("read-aloud"), history: $("history"), historyNote: $("history-note"),
  };

  const state = {
    text: "",
    // The latest request wins: sending one ends those still open, and replies name their request's id.
    open: [],
    nextId: 1,
    debounce: 0,
    model: null, // the built-in model's state, as the native side last told it
    speaking: false,
  };

  function post(message) {
    const handlers = window.webkit && window.webkit.messageHandlers;
    if (handlers && handlers.ulvo) handlers.ulvo.postMessage(message);
  }

  function bandName(level) {
    if (level <= 10) return "plain";
    if (level <= 30) return "five-year-old";
    if (level <= 60) return "friendly";
    if (level <= 85) return "non-specialist";
    return "professor";
  }

  function currentLevel() {
    const value = Number(ui.level.value);
    return Number.isFinite(value) ? value : DEFAULT_LEVEL;
  }

  function showLevel() {
    const level = currentLevel();
    ui.levelValue.textContent = String(level);
    ui.band.textContent = bandName(level);
    ui.level.setAttribute("aria-valuetext", level + ", " + bandName(level));
  }

  function isBlank(text) { return !text || text.trim() === ""; }

  function setCollapsed(collapsed) {
    ui.selection.classList.toggle("collapsed", collapsed);
    ui.toggle.textContent = collapsed ? "Show all" : "Show less";
    ui.toggle.setAttribute("aria-expanded", String(!collapsed));
  }

  function showSelection(text) {
    state.text = text;
    const has = !isBlank(text);
    ui.selection.textContent = text;
    ui.selection.hidden = !has;
    ui.empty.hidden = has;
    // Collapsed only when the text does not fit the collapsed height at this width and zoom.
    setCollapsed(has);
    const overflows = has && ui.selection.scrollHeight > ui.selection.clientHeight + 2;
    ui.toggle.hidden = !overflows;
    if (!overflows) setCollapsed(false);
  }

  function updateBusy() {
    const waiting = state.open.length > 0;
    ui.region.setAttribute("aria-busy", String(waiting));
    ui.status.hidden = !waiting;
    if (waiting) {
      const last = state.open[state.open.length - 1];
      ui.statusText.textContent = last.kind === "followup"
        ? "Answering your question…"
        : "Explaining at level " + last.level + " (" + bandName(last.level) + ")…";
    }
  }

  function clearError() { ui.error.hidden = true; ui.error.textContent = ""; ui.offer.hidden = true; }

  // The missing-model error's ways on: its download (with its progress here), or Settings.
  function showModelOffer() {
    ui.offer.hidden = false;
    renderModel();
  }

  function renderModel() {
    const model = state.model;
    const phase = model ? model.phase : "";
    const size = model && model.bytes ? " (" + window.ulvoModelState.megabytes(model.bytes) + ")" : "";
    ui.download.textContent = (phase === "failed" ? "Retry the download" : "Download the built-in model") + size;
    ui.download.hidden = phase === "downloading" || phase === "ready";
    ui.modelProgress.hidden = phase !== "downloading";
    ui.modelProgress.value = window.ulvoModelState.fraction(model);
    ui.modelStatus.textContent = phase === "downloading" || phase === "failed" ? window.ulvoModelState.describe(model) : "";
  }

  function modelState(payload) {
    const wasOffered = !ui.offer.hidden;
    state.model = payload && typeof payload === "object" ? payload : null;
    if (ui.offer.hidden) return;
    if (state.model && state.model.phase === "ready" && wasOffered) {
      // The model the explanation waited for is here: it runs by itself.
      clearError();
      explain();
      return;
    }
    renderModel();
  }

  function showError(message) {
    ui.error.textContent = message;
    ui.error.hidden = false;
  }

  // A newer request (or the card closing) ends the open ones: a replaced question says it was
  // stopped, and text of a replaced explanation that was still being written goes.
  function supersedeOpen() {
    for (const request of state.open) {
      if (request.kind === "followup" && request.reply) {
        request.reply.classList.add("error");
        request.reply.textContent = "Stopped for a newer request.";
      }
    }
    state.open = [];
    if (ui.answer.classList.contains("partial")) ui.answer.textContent = "";
    ui.answer.classList.remove("partial", "stale");
    updateBusy();
  }

  function cancelOpen() { supersedeOpen(); }

  function explain() {
    window.clearTimeout(state.debounce);
    state.debounce = 0;
    if (isBlank(state.text)) return;
    supersedeOpen();
    const id = state.nextId++;
    const level = currentLevel();
    state.open.push({ id, kind: "explain", level });
    clearError();
    ui.answer.classList.add("stale");
    updateBusy();
    post({ action: "explain", text: state.text, level, id });
  }

  function scheduleExplain() {
    window.clearTimeout(state.debounce);
    state.debounce = window.setTimeout(explain, LEVEL_DEBOUNCE_MS);
  }

  function askFollowup() {
    const question = ui.followup.value.trim();
    if (question === "") return;
    if (isBlank(state.text)) { showError("Select or paste some text first."); return; }
    const item = document.createElement("li");
    const asked = document.createElement("div");
    asked.className = "question";
    asked.textContent = question;
    const reply = document.createElement("div");
    reply.className = "reply";
    item.append(asked, reply);
    ui.thread.append(item);
    supersedeOpen();
    const id = state.nextId++;
    state.open.push({ id, kind: "followup", level: currentLevel(), reply });
    ui.followup.value = "";
    updateBusy();
    post({ action: "followup", text: state.text, level: currentLevel(), question, id });
  }

  // The open request a reply names; a reply for a request that is no longer open finds nothing.
  function findOpen(payload) {
    const id = payload && typeof payload.id === "number" ? payload.id : -1;
    return state.open.find((request) => request.id === id);
  }

  function takeOpen(payload) {
    const request = findOpen(payload);
    if (request) {
      state.open = state.open.filter((open) => open !== request);
      updateBusy();
    }
    return request;
  }

  // The answer as it is being written; the final answer replaces it.
  function receivePartial(payload) {
    const text = payload && typeof payload.text === "string" ? payload.text : "";
    const request = findOpen(payload);
    if (!request || text === "") return;
    if (request.kind === "followup" && request.reply) {
      request.reply.textContent = text;
      return;
    }
    ui.answer.classList.remove("stale");
    ui.answer.classList.add("partial");
    ui.answer.textContent = text;
  }

  function receiveResult(payload) {
    const text = payload && typeof payload.text === "string" ? payload.text : "";
    const request = takeOpen(payload);
    if (!request) return;
    if (request.kind === "followup" && request.reply) {
      request.reply.textContent = text;
      return;
    }
    clearError();
    ui.answer.classList.remove("stale", "partial");
    ui.answer.textContent = text;
  }

  function receiveError(payload) {
    const message = payload && typeof payload.message === "string" ? payload.message : "Something went wrong.";
    const request = takeOpen(payload);
    if (!request) {
      // An error that belongs to no request (a message the page did not send) still shows.
      if (!payload || payload.id === null || payload.id === undefined) showError(message);
      return;
    }
    if (request.kind === "followup" && request.reply) {
      request.reply.classList.add("error");
      request.reply.textContent = message;
      return;
    }
    // Text that arrived before the failure is not an answer.
    if (ui.answer.classList.contains("partial")) ui.answer.textContent = "";
    ui.answer.classList.remove("stale", "partial");
    showError(message);
    if (payload.modelMissing === true) showModelOffer();
  }

  function setSelection(payload) {
    const text = payload && typeof payload.text === "string" ? payload.text : "";
    showSelection(text);
    ui.answer.textContent = "";
    ui.thread.replaceChildren();
    ui.historyNote.hidden = true;
    clearError();
    explain();
  }

  function threadItem(question, answer) {
    const item = document.createElement("li");
    const asked = document.createElement("div");
    asked.className = "question";
    asked.textContent = question;
    const reply = document.createElement("div");
    reply.className = "reply";
    reply.textContent = answer;
    item.append(asked, reply);
    return item;
  }

  // A kept explanation, as it was answered: nothing is asked again.
  function showStored(entry) {
    if (!entry || typeof entry.selection !== "string") return;
    window.clearTimeout(state.debounce);
    supersedeOpen();
    showSelection(entry.selection);
    setLevel({ level: entry.level });
    ui.answer.textContent = typeof entry.answer === "string" ? entry.answer : "";
    const followups = Array.isArray(entry.followups) ? entry.followups : [];
    ui.thread.replaceChildren(...followups.map((f) => threadItem(String(f.question), String(f.answer))));
    ui.historyNote.hidden = true;
    clearError();
  }

  function historyFailed(payload) {
    const message = payload && typeof payload.message === "string" ? payload.message : "";
    ui.historyNote.textContent = "Not kept in the history: " + message;
    ui.historyNote.hidden = false;
  }

  function setSpeech(payload) {
    ui.readAloud.hidden = !(payload && payload.available === true);
  }

  function speechState(payload) {
    state.speaking = payload && payload.speaking === true;
    ui.readAloud.textContent = state.speaking ? "Stop reading" : "Read aloud";
    ui.readAloud.setAttribute("aria-pressed", String(state.speaking));
  }

  function readAloud() {
    if (ui.readAloud.hidden) return;
    post({ action: "speak", text: state.speaking ? "" : answerText() });
  }

  function setLevel(payload) {
    if (payload && Number.isFinite(payload.level)) {
      ui.level.value = String(payload.level);
      showLevel();
    }
  }

  function setAccessibility(payload) {
    ui.note.hidden = !(payload && payload.trusted === false);
  }

  // The answer with its follow-ups, as the card shows them.
  function answerText() {
    const parts = [ui.answer.textContent];
    for (const item of ui.thread.children) {
      parts.push(item.querySelector(".question").textContent + "\n" + item.querySelector(".reply").textContent);
    }
    return parts.filter((part) => part && part.trim() !== "").join("\n\n");
  }

  function copyAnswer() {
    const text = answerText();
    post({ action: "copy", text });
    ui.feedback.textContent = text ? "Copied" : "Nothing to copy yet";
    window.setTimeout(() => { ui.feedback.textContent = ""; }, 1600);
  }

  window.ULVO = {
    setSelection, setAccessibility, setLevel, receivePartial, receiveResult, receiveError, cancelOpen, modelState,
    showStored, historyFailed, setSpeech, speechState,
  };

  ui.download.addEventListener("click", () => post({ action: "download-model" }));
  ui.useCloud.addEventListener("click", () => post({ action: "open-settings" }));

  ui.level.addEventListener("input", () => { showLevel(); scheduleExplain(); });
  ui.toggle.addEventListener("click", () => setCollapsed(!ui.selection.classList.contains("collapsed")));
  ui.form.addEventListener("submit", (event) => { event.preventDefault(); askFollowup(); });
  ui.usePasted.addEventListener("click", () => {
    if (isBlank(ui.paste.value)) { showError("Select or paste some text first."); return; }
    setSelection({ text: ui.paste.value });
  });
  ui.fetch.addEventListener("click", () => post({ action: "request-selection" }));
  ui.copy.addEventListener("click", copyAnswer);
  ui.close.addEventListener("click", () => post({ action: "close" }));
  ui.readAloud.addEventListener("click", readAloud);
  ui.history.addEventListener("click", () => post({ action: "open-history" }));
  document.addEventListener("keydown", (event) => {
    if (event.ctrlKey && !event.altKey && !event.shiftKey && event.key.toLowerCase() === "r") {
      // Ctrl+R reads aloud here; the page is never reloaded by it.
      event.preventDefault();
      readAloud();
      return;
    }
    if (event.key === "Escape" && !event.defaultPrevented) {
      event.preventDefault();
      post({ action: "close" });
    }
  });

  showLevel();
  showSelection("");
})();
