// The settings page: provider, base URL, model and key; the native side validates and stores them.
"use strict";

(function () {
  const $ = (id) => document.getElementById(id);
  const ui = {
    form: $("settings-form"), provider: $("provider"), baseURL: $("base-url"), model: $("model"),
    keyField: $("key-field"), apiKey: $("api-key"), reveal: $("reveal"), verdict: $("verdict"),
    localState: $("local-state"), accessibility: $("accessibility"), version: $("version"),
    session: $("session"), sessionNotes: $("session-notes"), gnomeShortcuts: $("gnome-shortcuts"),
    addGnomeShortcuts: $("add-gnome-shortcuts"), shortcutsResult: $("shortcuts-result"),
    login: $("login"), startAtLogin: $("start-at-login"), loginResult: $("login-result"),
    builtIn: $("built-in-model"), modelStatus: $("model-status"), modelProgress: $("model-progress"),
    modelDevice: $("model-device"), cpuOnlyRow: $("cpu-only-row"), cpuOnly: $("cpu-only"),
    cpuOnlyWhy: $("cpu-only-why"), cpuOnlyResult: $("cpu-only-result"),
    modelDownload: $("model-download"), modelCancel: $("model-cancel"), modelFile: $("model-file"),
    modelRemove: $("model-remove"), reading: $("reading"), readThroughAccessibility: $("read-through-accessibility"),
    readingResult: $("reading-result"), hotKeys: $("hot-keys"), hotKeyNote: $("hot-key-note"),
    modelRemove: $("model-remove"), listModels: $("list-models"), modelList: $("model-list"),
    modelListResult: $("model-list-result"),
  };
  const state = { providers: [], current: null, localModel: null, edited: false };

  function post(message) {
    const handlers = window.webkit && window.webkit.messageHandlers;
    if (handlers && handlers.ulvosettings) handlers.ulvosettings.postMessage(message);
  }

  function providerById(id) { return state.providers.find((p) => p.id === id); }

  function showProviderFields(id, values) {
    const provider = providerById(id);
    ui.provider.value = id;
    ui.baseURL.value = values.baseURL;
    ui.model.value = values.model;
    ui.apiKey.value = values.apiKey;
    const needsKey = provider ? provider.needsAPIKey : id !== "local";
    ui.keyField.hidden = !needsKey;
    ui.listModels.hidden = !needsKey || state.modelList !== true;
    ui.modelList.replaceChildren();
    ui.modelListResult.textContent = "";
    const local = id === "local" && state.localModel;
    ui.localState.hidden = !local;
    if (local) {
      ui.localState.textContent = state.localModel.message;
      ui.localState.classList.toggle("warn", state.localModel.state !== "ready");
    }
  }

  function valuesFor(id) {
    if (state.current && state.current.provider === id) {
      return { baseURL: state.current.baseURL, model: state.current.model, apiKey: state.current.apiKey };
    }
    const provider = providerById(id);
    return { baseURL: provider ? provider.baseURL : "", model: provider ? provider.model : "", apiKey: "" };
  }

  function init(payload) {
    if (!payload || !Array.isArray(payload.providers)) return;
    state.providers = payload.providers;
    state.current = payload.current || null;
    state.localModel = payload.localModel || null;
    ui.version.textContent = payload.version ? "ULVO " + payload.version : "";
    const notes = Array.isArray(payload.sessionNotes) ? payload.sessionNotes.filter((n) => typeof n === "string") : [];
    ui.sessionNotes.replaceChildren(...notes.map((note) => {
      const item = document.createElement("li");
      item.textContent = note;
      return item;
    }));
    ui.session.hidden = notes.length === 0;
    ui.gnomeShortcuts.hidden = payload.gnomeShortcuts !== true;
    ui.hotKeyNote.textContent = typeof payload.hotKeyNote === "string" ? payload.hotKeyNote : "";
    ui.hotKeys.hidden = ui.hotKeyNote.textContent === "";
    state.modelList = payload.modelList === true;
    modelState(payload.builtInModel);
    modelDevice(payload.modelDevice);
    ui.login.hidden = typeof payload.startAtLogin !== "boolean";
    if (!ui.login.hidden) startAtLogin(payload.startAtLogin, "");
    ui.reading.hidden = typeof payload.readThroughAccessibility !== "boolean";
    if (!ui.reading.hidden) accessibilityReading(payload.readThroughAccessibility, "");
    if (state.edited) return; // keep what the user is typing; a repeated init carries the same data
    ui.provider.replaceChildren(...state.providers.map((p) => {
      const option = document.createElement("option");
      option.value = p.id;
      option.textContent = p.label;
      return option;
    }));
    const id = state.current && providerById(state.current.provider) ? state.current.provider : "local";
    showProviderFields(id, valuesFor(id));
  }

  // The provider's own model list, offered in the model field; typing any name stays allowed.
  function models(reply) {
    ui.listModels.disabled = false;
    ui.modelList.replaceChildren();
    if (!reply || reply.ok !== true) {
      ui.modelListResult.textContent = String((reply && reply.error) || "The model list could not be read.");
      return;
    }
    for (const id of reply.models) {
      const option = document.createElement("option");
      option.value = String(id);
      ui.modelList.appendChild(option);
    }
    ui.modelListResult.textContent = reply.models.length + " models: choose one in the model field.";
  }

  function saved(ok, message) {
    ui.verdict.textContent = message;
    ui.verdict.className = "verdict " + (ok ? "ok" : "error");
    if (ok) {
      state.edited = false;
      state.current = {
        provider: ui.provider.value, baseURL: ui.baseURL.value.trim(), model: ui.model.value.trim(),
        apiKey: ui.apiKey.value.trim(),
      };
    }
  }

  // The built-in model's section: its state, and the buttons that state allows.
  function modelState(model) {
    ui.builtIn.hidden = !model || typeof model !== "object";
    if (ui.builtIn.hidden) return;
    const phase = model.phase;
    ui.modelStatus.textContent = window.ulvoModelState.describe(model);
    ui.modelStatus.classList.toggle("warn", phase === "failed" || phase === "unavailable");
    ui.modelProgress.hidden = phase !== "downloading";
    ui.modelProgress.value = window.ulvoModelState.fraction(model);
    ui.modelDownload.hidden = phase !== "notInstalled" && phase !== "failed";
    ui.modelDownload.textContent = (phase === "failed" ? "Retry" : "Download") +
      (model.bytes ? " (" + window.ulvoModelState.megabytes(model.bytes) + ")" : "");
    ui.modelCancel.hidden = phase !== "downloading";
    ui.modelFile.hidden = phase === "downloading" || phase === "unavailable";
    ui.modelRemove.hidden = phase !== "ready";
  }

  // Which device runs the built-in model, and the "CPU only" switch.
  function modelDevice(device) {
    const shown = !!device && typeof device === "object";
    ui.modelDevice.hidden = !shown;
    ui.cpuOnlyRow.hidden = !shown;
    ui.cpuOnlyWhy.hidden = !shown;
    if (!shown) return;
    ui.modelDevice.textContent = "Runs on: " + device.device;
    ui.cpuOnly.checked = device.cpuOnly === true;
    ui.cpuOnly.disabled = false;
    ui.cpuOnlyResult.textContent = typeof device.message === "string" ? device.message : "";
  }

  function shortcutsAdded(message) {
    ui.shortcutsResult.textContent = typeof message === "string" ? message : "";
    ui.addGnomeShortcuts.disabled = false;
  }

  function startAtLogin(on, message) {
    ui.startAtLogin.checked = on === true;
    ui.startAtLogin.disabled = false;
    ui.loginResult.textContent = typeof message === "string" ? message : "";
  }

  function accessibilityReading(on, message) {
    ui.readThroughAccessibility.checked = on === true;
    ui.readThroughAccessibility.disabled = false;
    ui.readingResult.textContent = typeof message === "string" ? message : "";
  }

  window.ulvo = {
    init, saved, shortcutsAdded, modelState, modelDevice, startAtLogin, accessibilityReading, models,
  };

  ui.cpuOnly.addEventListener("change", () => {
    ui.cpuOnly.disabled = true;
    post({ type: "cpu-only", on: ui.cpuOnly.checked });
  });

  ui.readThroughAccessibility.addEventListener("change", () => {
    ui.readThroughAccessibility.disabled = true;
    post({ type: "read-through-accessibility", on: ui.readThroughAccessibility.checked });
  });

  ui.startAtLogin.addEventListener("change", () => {
    ui.startAtLogin.disabled = true;
    post({ type: "start-at-login", on: ui.startAtLogin.checked });
  });

  for (const [button, action] of [[ui.modelDownload, "download"], [ui.modelCancel, "cancel"],
                                  [ui.modelFile, "file"], [ui.modelRemove, "remove"]]) {
    button.addEventListener("click", () => post({ type: "model", action }));
  }

  ui.addGnomeShortcuts.addEventListener("click", () => {
    ui.addGnomeShortcuts.disabled = true;
    post({ type: "gnome-shortcuts" });
  });

  ui.provider.addEventListener("change", () => {
    state.edited = true;
    showProviderFields(ui.provider.value, valuesFor(ui.provider.value));
    ui.verdict.textContent = "";
  });
  for (const input of [ui.baseURL, ui.model, ui.apiKey]) {
    input.addEventListener("input", () => { state.edited = true; });
  }
  ui.reveal.addEventListener("click", () => {
    const show = ui.apiKey.type === "password";
    ui.apiKey.type = show ? "text" : "password";
    ui.reveal.textContent = show ? "Hide" : "Show";
    ui.reveal.setAttribute("aria-pressed", String(show));
    ui.reveal.setAttribute("aria-label", show ? "Hide the API key" : "Show the API key");
  });
  ui.form.addEventListener("submit", (event) => {
    event.preventDefault();
    ui.verdict.textContent = "";
    const message = { type: "save", provider: ui.provider.value, baseURL: ui.baseURL.value, model: ui.model.value };
    message.apiKey = ui.keyField.hidden ? "" : ui.apiKey.value;
    post(message);
  });
  ui.accessibility.addEventListener("click", () => post({ type: "accessibility" }));
  ui.listModels.addEventListener("click", () => {
    ui.listModels.disabled = true;
    ui.modelListResult.textContent = "Asking the provider…";
    post({ type: "models", provider: ui.provider.value, baseURL: ui.baseURL.value, apiKey: ui.apiKey.value });
  });

  post({ type: "ready" });
})();
