// Test builds only: lets a test page drive the card through custom DOM events and read what the card
// shows from a data attribute, as a user would see it. Never packaged in the shipped extension.
"use strict";

(() => {
  const api = globalThis.browser ?? globalThis.chrome;
  let commands = null;
  Promise.resolve(api.runtime.sendMessage({ kind: "ulvo-commands" })).then((list) => {
    commands = (list ?? []).map((command) => ({ name: command.name, shortcut: command.shortcut ?? "" }));
  }, () => {});
  document.addEventListener("ulvo-test-explain", () => {
    api.runtime.sendMessage({ kind: "ulvo-explain-selection" });
  });
  document.addEventListener("ulvo-test-level", (event) => {
    const card = globalThis.ulvoCard;
    card.slider.value = String(event.detail);
    card.slider.dispatchEvent(new Event("input"));
    card.slider.dispatchEvent(new Event("change"));
  });
  document.addEventListener("ulvo-test-followup", (event) => {
    const card = globalThis.ulvoCard;
    card.question.value = String(event.detail);
    card.form.requestSubmit();
  });
  setInterval(() => {
    const card = globalThis.ulvoCard;
    if (!card) {
      // The extension's background has answered: it runs, with its listeners.
      if (commands !== null) {
        document.documentElement.dataset.ulvoTestState = JSON.stringify({ attached: false, commands });
      }
      return;
    }
    const shown = {
      attached: card.root.host.isConnected,
      shadowClosed: card.root.host.shadowRoot === null,
      loading: !card.loading.hidden,
      level: Number(card.slider.value),
      answer: card.answer.textContent,
      answerBorder: getComputedStyle(card.answer).borderTopWidth,
      pageColor: getComputedStyle(document.querySelector("p") ?? document.body).color,
      error: card.error.hidden ? "" : card.error.textContent,
      commands,
      followups: [...card.followups.children].map((entry) => ({
        question: entry.firstChild.textContent,
        answer: entry.lastChild.textContent,
      })),
    };
    document.documentElement.dataset.ulvoTestState = JSON.stringify(shown);
  }, 50);
})();
