// Background of the ULVO extension: the context-menu entry, the keyboard command and the one
// connection to the native host. No network access of its own: every answer comes from the host.
"use strict";

const api = globalThis.browser ?? globalThis.chrome;
const HOST = "com.ulvo_by_zvk.runtime";
const MENU_ID = "ulvo-explain";
// A kept connection saves a host start per request; an idle one is closed so no process lingers.
const IDLE_CLOSE_MS = 60000;
const HOST_MISSING =
  "ULVO could not be reached. Start the ULVO program once, so the browser can find it, and try again.";

const HOST_LOST = "The connection to ULVO was lost. Try again.";

let port = null;
let nextId = 1;
const pending = new Map();
// The answer so far, for requests that asked for it: the host sends any number of partial frames
// before the final reply.
const partials = new Map();
let idleTimer = null;

function settleAll(error) {
  for (const resolve of pending.values()) {
    resolve({ ok: false, error });
  }
  pending.clear();
  partials.clear();
}

function openPort() {
  const opened = api.runtime.connectNative(HOST);
  opened.onMessage.addListener((reply) => {
    if (reply?.partial === true) {
      partials.get(reply.id)?.(String(reply.text ?? ""));
      return;
    }
    const resolve = pending.get(reply?.id);
    if (resolve) {
      pending.delete(reply.id);
      partials.delete(reply.id);
      resolve(reply);
    }
    if (pending.size === 0) {
      scheduleIdleClose();
    }
  });
  opened.onDisconnect.addListener((gone) => {
    // Chromium reports why through lastError, Firefox through the port.
    const reason = api.runtime.lastError?.message ?? gone?.error?.message;
    if (port === opened) {
      port = null;
    }
    settleAll(!reason || /not found|no such native application|forbidden/i.test(reason) ? HOST_MISSING : HOST_LOST);
  });
  return opened;
}

function scheduleIdleClose() {
  clearTimeout(idleTimer);
  idleTimer = setTimeout(() => {
    if (port && pending.size === 0) {
      port.disconnect();
      port = null;
    }
  }, IDLE_CLOSE_MS);
}

// One request to the host; always resolves with a reply object carrying "ok". onPartial, when given,
// receives the answer so far as it is written.
function askHost(request, onPartial) {
  clearTimeout(idleTimer);
  return new Promise((resolve) => {
    try {
      port = port ?? openPort();
      const id = nextId++;
      pending.set(id, resolve);
      if (onPartial) {
        partials.set(id, onPartial);
      }
      port.postMessage({ ...request, id });
    } catch (error) {
      port = null;
      resolve({ ok: false, error: HOST_MISSING });
    }
  });
}

function createMenu() {
  api.contextMenus.removeAll(() => {
    void api.runtime.lastError;
    api.contextMenus.create({ id: MENU_ID, title: "Explain", contexts: ["selection"] }, () => {
      void api.runtime.lastError;
    });
  });
}

async function sendToFrame(tabId, frameId, message) {
  return api.tabs.sendMessage(tabId, message, { frameId });
}

// Shows the card in the frame, injecting the card script when it is not there yet.
async function showCard(tabId, frameId, text) {
  const message = { kind: "ulvo-show", text };
  try {
    await sendToFrame(tabId, frameId, message);
  } catch {
    await api.scripting.executeScript({ target: { tabId, frameIds: [frameId] }, files: ["content.js"] });
    await sendToFrame(tabId, frameId, message);
  }
}

function readSelection() {
  return String(globalThis.getSelection?.() ?? "");
}

async function explainSelection(tabId, frameId, fallbackText) {
  let text = fallbackText ?? "";
  try {
    const [found] = await api.scripting.executeScript({
      target: { tabId, frameIds: [frameId] },
      func: readSelection,
    });
    if (found?.result?.trim()) {
      text = found.result;
    }
  } catch {
    // A page the extension may not script: the menu's own copy of the selection still works.
  }
  await showCard(tabId, frameId, text);
}

// The selection of every frame the command lets the extension read. The command's grant reaches only
// the page's own origin: a frame from elsewhere (an advertisement) would fail the whole call, so then
// the top frame alone is asked.
async function framesSelections(tabId) {
  try {
    return await api.scripting.executeScript({ target: { tabId, allFrames: true }, func: readSelection });
  } catch {
    return await api.scripting.executeScript({ target: { tabId }, func: readSelection });
  }
}

// The command has no frame: the first frame holding a selection wins, the top frame otherwise.
async function explainActiveTab(tab) {
  let frameId = 0;
  let text = "";
  try {
    const results = await framesSelections(tab.id);
    const found = results.find((entry) => entry?.result?.trim());
    if (found) {
      frameId = found.frameId ?? 0;
      text = found.result;
    }
  } catch {
    // No access to this tab (a browser page): nothing to explain.
    return;
  }
  await showCard(tab.id, frameId, text);
}

api.runtime.onInstalled.addListener(createMenu);
api.runtime.onStartup.addListener(createMenu);

api.contextMenus.onClicked.addListener((info, tab) => {
  if (info.menuItemId === MENU_ID && tab?.id !== undefined) {
    explainSelection(tab.id, info.frameId ?? 0, info.selectionText).catch(() => {});
  }
});

api.commands.onCommand.addListener((command, tab) => {
  if (command !== "explain-selection") {
    return;
  }
  const target = tab ? Promise.resolve(tab) : api.tabs.query({ active: true, currentWindow: true }).then((t) => t[0]);
  target.then((found) => found && explainActiveTab(found)).catch(() => {});
});

api.runtime.onMessage.addListener((message, sender, sendResponse) => {
  if (sender.id !== api.runtime.id) {
    return false;
  }
  if (message?.kind === "ulvo-ask") {
    const tabId = sender.tab?.id;
    const onPartial =
      tabId === undefined
        ? undefined
        : (text) =>
            api.tabs
              .sendMessage(tabId, { kind: "ulvo-partial", key: message.key, text }, { frameId: sender.frameId ?? 0 })
              .catch(() => {});
    askHost(message.request, onPartial).then(sendResponse);
    return true;
  }
  if (message?.kind === "ulvo-commands") {
    // The keyboard commands as the browser assigned them (a suggested key it did not assign is empty).
    api.commands.getAll().then(sendResponse, () => sendResponse([]));
    return true;
  }
  if (message?.kind === "ulvo-explain-selection" && sender.tab?.id !== undefined) {
    explainSelection(sender.tab.id, sender.frameId ?? 0, "").catch(() => {});
  }
  return false;
});
