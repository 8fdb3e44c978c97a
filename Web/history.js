// The history page: kept explanations newest first, searched as the user types, reopened in the card.
"use strict";

(function () {
  const SEARCH_DELAY_MS = 200;
  const PREVIEW_CHARACTERS = 240;
  const $ = (id) => document.getElementById(id);
  const ui = {
    search: $("search"), entries: $("entries"), more: $("more"), status: $("status"),
    deleteAll: $("delete-all"), confirm: $("confirm-all"), yes: $("confirm-yes"), no: $("confirm-no"),
  };
  const state = { query: "", shown: 0, timer: 0 };

  function post(message) {
    const handlers = window.webkit && window.webkit.messageHandlers;
    if (handlers && handlers.ulvohistory) handlers.ulvohistory.postMessage(message);
  }

  function say(message, error) {
    ui.status.textContent = message;
    ui.status.classList.toggle("error", error === true);
  }

  function list(offset) {
    post({ action: "list", query: state.query, offset });
  }

  function refresh() {
    state.query = ui.search.value.trim();
    list(0);
  }

  function preview(text) {
    return text.length > PREVIEW_CHARACTERS ? text.slice(0, PREVIEW_CHARACTERS) + "…" : text;
  }

  function entryItem(entry) {
    const item = document.createElement("li");
    item.className = "entry";
    item.dataset.id = String(entry.id);
    const meta = document.createElement("div");
    meta.className = "meta";
    const when = new Date(entry.time * 1000).toLocaleString();
    const source = [entry.provider, entry.model].filter((part) => part).join(" · ");
    const asked = entry.followups.length ? " · " + entry.followups.length + " follow-up" + (entry.followups.length > 1 ? "s" : "") : "";
    meta.textContent = when + " · level " + entry.level + (source ? " · " + source : "") + asked;
    const selection = document.createElement("div");
    selection.className = "selection";
    selection.textContent = preview(entry.selection);
    const answer = document.createElement("div");
    answer.className = "answer";
    answer.textContent = preview(entry.answer || (entry.followups[0] ? entry.followups[0].answer : ""));
    const row = document.createElement("div");
    row.className = "row";
    const open = document.createElement("button");
    open.type = "button";
    open.className = "open";
    open.textContent = "Open in card";
    open.addEventListener("click", () => post({ action: "open", id: entry.id }));
    const remove = document.createElement("button");
    remove.type = "button";
    remove.className = "delete";
    remove.textContent = "Delete";
    remove.setAttribute("aria-label", "Delete this entry");
    remove.addEventListener("click", () => post({ action: "delete", id: entry.id }));
    row.append(open, remove);
    item.append(meta, selection, answer, row);
    return item;
  }

  // A reply for a query no longer typed is dropped: the latest search wins.
  function show(payload) {
    if (!payload || payload.query !== state.query || !Array.isArray(payload.entries)) return;
    if (payload.offset === 0) ui.entries.replaceChildren();
    for (const entry of payload.entries) ui.entries.append(entryItem(entry));
    state.shown = ui.entries.children.length;
    ui.more.hidden = payload.more !== true;
    if (state.shown === 0) say(state.query ? "Nothing in the history matches." : "The history is empty.");
    else say("");
  }

  function removed(payload) {
    const item = ui.entries.querySelector('[data-id="' + Number(payload && payload.id) + '"]');
    if (item) item.remove();
    say("Deleted.");
  }

  function cleared() {
    ui.entries.replaceChildren();
    ui.more.hidden = true;
    say("The history is empty.");
  }

  function failed(payload) {
    say(payload && typeof payload.message === "string" ? payload.message : "Something went wrong.", true);
  }

  window.ULVOHistory = { show, removed, cleared, failed, refresh };

  ui.search.addEventListener("input", () => {
    window.clearTimeout(state.timer);
    state.timer = window.setTimeout(refresh, SEARCH_DELAY_MS);
  });
  ui.more.addEventListener("click", () => list(state.shown));
  ui.deleteAll.addEventListener("click", () => { ui.confirm.hidden = false; ui.no.focus(); });
  ui.no.addEventListener("click", () => { ui.confirm.hidden = true; });
  ui.yes.addEventListener("click", () => { ui.confirm.hidden = true; post({ action: "delete-all" }); });
  document.addEventListener("keydown", (event) => {
    if (event.key === "Escape" && !ui.confirm.hidden) ui.confirm.hidden = true;
  });

  refresh();
})();
