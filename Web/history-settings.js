// The settings page's history section: "Keep a history", the days kept, and whether read aloud works.
"use strict";

(function () {
  const $ = (id) => document.getElementById(id);
  const ui = {
    section: $("history-settings"), keep: $("history-keep"), days: $("history-days"),
    open: $("history-open"), result: $("history-result"), speech: $("speech-note"),
  };
  function post(message) {
    const handlers = window.webkit && window.webkit.messageHandlers;
    if (handlers && handlers.ulvosettings) handlers.ulvosettings.postMessage(message);
  }

  function show(message, ok) {
    ui.result.textContent = message;
    ui.result.classList.toggle("ok", ok === true);
    ui.result.classList.toggle("error", ok === false);
  }

  function save() {
    const days = Number(ui.days.value);
    if (!Number.isInteger(days) || days < 1 || days > Number(ui.days.max)) {
      show("Enter a whole number of days from 1 to " + ui.days.max + ".", false);
      return;
    }
    ui.days.disabled = !ui.keep.checked;
    post({ action: "history-settings", keep: ui.keep.checked, days });
  }

  function init(payload) {
    if (!payload || typeof payload !== "object") return;
    ui.keep.checked = payload.keep === true;
    ui.days.max = String(payload.maximumDays || 36500);
    ui.days.value = String(payload.days);
    ui.days.disabled = !ui.keep.checked;
    speech(payload);
    ui.section.hidden = false;
  }

  function speech(payload) {
    const note = payload && typeof payload.speechNote === "string" ? payload.speechNote : "";
    ui.speech.textContent = note === "" ? "Read aloud uses the desktop's speech service." : note;
  }

  function savedResult(payload) {
    const ok = payload && payload.ok === true;
    show(ok ? (ui.keep.checked ? "Saved." : "Saved. Nothing more is kept.") : (payload && payload.message) || "Not saved.", ok);
  }

  window.ulvoHistorySettings = { init, speech, saved: savedResult };
  ui.keep.addEventListener("change", save);
  ui.days.addEventListener("change", save);
  ui.open.addEventListener("click", () => post({ action: "open-history" }));
})();
