// The built-in model's state in words, for the settings page and the card.
"use strict";

window.ulvoModelState = (function () {
  function megabytes(bytes) {
    return (bytes / 1e6).toFixed(bytes >= 1e8 ? 0 : 1) + " MB";
  }

  function duration(seconds) {
    if (seconds < 90) return Math.max(1, Math.round(seconds)) + " s";
    if (seconds < 5400) return Math.round(seconds / 60) + " min";
    return (seconds / 3600).toFixed(1) + " h";
  }

  // { phase, name, bytes, done, total, speed, message } → a sentence.
  function describe(state) {
    if (!state || typeof state !== "object") return "";
    const name = typeof state.name === "string" ? state.name : "The built-in model";
    switch (state.phase) {
      case "ready":
        return "Ready: " + name + ", " + megabytes(state.bytes || 0) + ".";
      case "notInstalled":
        return "Not installed. " + name + " is " + megabytes(state.bytes || 0) + ".";
      case "downloading": {
        const total = state.total || state.bytes || 0;
        const done = state.done || 0;
        let text = "Downloading " + name;
        if (total > 0) text += ": " + Math.floor((100 * done) / total) + "% (" + megabytes(done) + " of " + megabytes(total) + ")";
        if (state.speed > 0) {
          text += ", " + megabytes(state.speed) + "/s";
          if (total > done) text += ", " + duration((total - done) / state.speed) + " left";
        }
        return text + ".";
      }
      case "failed":
        return "The model could not be installed. " + (state.message || "");
      default:
        return state.message || "The built-in model is unavailable.";
    }
  }

  function fraction(state) {
    const total = state && (state.total || state.bytes);
    return state && state.phase === "downloading" && total > 0 ? Math.min(1, (state.done || 0) / total) : 0;
  }

  return { describe, fraction, megabytes };
})();
