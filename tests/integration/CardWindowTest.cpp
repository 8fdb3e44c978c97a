// The real card: a GTK window with WebKit showing Web/index.html, driven by DOM events and X events.
// Runs inside scripts/private-session.
#include "card/CardBridge.h"
#include "platform/linux/gtk/CardPanel.h"
#include "platform/linux/gtk/DesktopServices.h"
#include "platform/linux/gtk/MainThread.h"
#include "tests/integration/DesktopTestSupport.h"
#include "tests/support/Files.h"
#include "tests/support/RecordingCardHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace ulvo {
namespace {

using nlohmann::json;
using namespace test;

// The card as the application builds it, with the desktop's effects recorded.
class Card : public RecordingCardHost {
public:
    Card() {
        trusted = true;
        gtk::CardPanel::Callbacks callbacks;
        callbacks.headerPressed = [this] { evaluateScript(focusResetScript); };
        callbacks.closeClicked = [this] { hidePanel(); };
        callbacks.page.message = [this](const json& body) {
            messages.push_back(body);
            bridge->didReceiveScriptMessage(body);
        };
        callbacks.page.loadFinished = [this] {
            ++loads;
            bridge->didFinishNavigation();
        };
        callbacks.page.openExternally = [this](const std::string& uri) { opened.push_back(uri); };
        panel = std::make_unique<gtk::CardPanel>(nullptr, *engine, callbacks);
        auto explain = [this](const std::string& /*text*/, const std::optional<std::string>& /*question*/,
                              Level /*level*/, std::function<void(ExplainResult)> completion,
                              const std::function<void(const std::string&)>& /*partial*/) {
            if (answer) {
                // Completes on another thread, as the model queue does.
                std::thread([completion, reply = *answer] {
                    completion(ExplainResult::success(reply));
                }).detach();
            }
        };
        bridge = std::make_unique<CardBridge>(*this, CardAnswers{explain, {}, {}}, gtk::postToMainThread);
    }

    void evaluateScript(const std::string& script) override { panel->page().evaluate(script); }
    void hidePanel() override {
        RecordingCardHost::hidePanel();
        panel->hide();
    }
    void copyText(const std::string& text) override { gtk::copyToClipboard(text); }
    void downloadModel() override { ++downloads; }
    void showSettings() override { ++settingsShown; }

    json js(const std::string& expression) { return evaluate(panel->page().view(), expression); }

    // Messages of one action, in order.
    std::vector<json> messagesOf(const std::string& action) const {
        std::vector<json> found;
        std::ranges::copy_if(messages, std::back_inserter(found), [&](const json& message) {
            return message.is_object() && message.value("action", "") == action;
        });
        return found;
    }

    void showWithSelection(const std::string& text) {
        selection = text;
        panel->present();
        bridge->sendSelection();
    }

    // Shows the card with `text` and returns the explain message the page then sends (null if none).
    json explainShown(const std::string& text) {
        const std::size_t before = messagesOf("explain").size();
        showWithSelection(text);
        pumpUntil([&] { return messagesOf("explain").size() > before; });
        const std::vector<json> sent = messagesOf("explain");
        return sent.size() > before ? sent.back() : json();
    }

    std::unique_ptr<gtk::WebEngine> engine = gtk::loadWebEngine().value();
    std::unique_ptr<gtk::CardPanel> panel;
    std::unique_ptr<CardBridge> bridge;
    std::vector<json> messages;
    std::vector<std::string> opened;
    std::optional<std::string> answer;
    int downloads = 0;
    int settingsShown = 0;
    int loads = 0;
};

class CardWindowTest : public ::testing::Test {
public:
    static void SetUpTestSuite() {
        backdrop_ = showBackdrop();
        card_ = new Card();
    }
    static void TearDownTestSuite() {
        delete card_;
        card_ = nullptr;
        gtk_widget_destroy(backdrop_);
    }
    void SetUp() override {
        // A fresh page per test: no open requests or text left over from the one before.
        card().selection.clear();
        const int loads = card().loads;
        card().panel->page().load(std::filesystem::path(ULVO_TEST_WEB_DIR) / "index.html");
        ASSERT_TRUE(pumpUntil([&] { return card().loads > loads; }, 30s)) << "the card page did not load";
        ASSERT_TRUE(pumpUntil([] { return js("typeof window.ULVO") == "object"; }));
        // The bridge gives a new page the level last asked for; each test starts at the default.
        js("window.ULVO.setLevel({level: 25})");
        card().messages.clear();
        card().answer.reset();
        card().panel->setFrame({60, 1080 - 40 - 720, 420, 720});
        card().panel->present();
        pumpUntil([] { return card().panel->frame() == Rect{60, 1080 - 40 - 720, 420, 720}; }, 3s);
    }

    static Card& card() { return *card_; }
    static json js(const std::string& expression) { return card().js(expression); }
    static json property(const std::string& id, const std::string& name) {
        return js("document.getElementById('" + id + "')." + name);
    }
    static std::string text(const std::string& id) { return property(id, "textContent").get<std::string>(); }
    static bool hidden(const std::string& id) { return property(id, "hidden") == true; }
    static void click(const std::string& id) { property(id, "click()"); }

    inline static Card* card_ = nullptr;
    inline static GtkWidget* backdrop_ = nullptr;
};

// ---- Page to native ------------------------------------------------------------------------------

// First in the file, before anything in this process asks GIO for applications.
TEST(DesktopServicesTest, LinksOpenWithoutTheVariablesTheProgramSetForItself) {
    // The default handler of a scheme of the test's own writes the environment it was started with.
    const std::filesystem::path written = std::filesystem::temp_directory_path() / "ulvo-link-environment";
    std::filesystem::remove(written);
    writeFile(std::filesystem::path(g_get_user_data_dir()) / "applications" / "ulvo-environment.desktop",
              "[Desktop Entry]\nType=Application\nName=Environment\nNoDisplay=true\n"
              "MimeType=x-scheme-handler/ulvo-environment;\nExec=sh -c \"env > " +
                  written.string() + ".part && mv " + written.string() + ".part " + written.string() +
                  "\" sh %u\n");
    std::filesystem::create_directories(g_get_user_config_dir());
    std::ofstream(std::filesystem::path(g_get_user_config_dir()) / "mimeapps.list", std::ios::app)
        << "[Default Applications]\nx-scheme-handler/ulvo-environment=ulvo-environment.desktop\n";

    g_setenv("ULVO_TEST_SET_BY_THE_PROGRAM", "1", TRUE);
    g_setenv("ULVO_TEST_SET_BY_THE_USER", "1", TRUE);
    gtk::openExternally("ulvo-environment:page", {"ULVO_TEST_SET_BY_THE_PROGRAM"});
    ASSERT_TRUE(pumpUntil([&] { return std::filesystem::exists(written); }, 10s)) << "the handler never ran";
    const std::string environment = readFile(written);
    EXPECT_NE(environment.find("ULVO_TEST_SET_BY_THE_USER=1"), std::string::npos);
    EXPECT_EQ(environment.find("ULVO_TEST_SET_BY_THE_PROGRAM"), std::string::npos);
}

TEST_F(CardWindowTest, SelectionExplainsAtOnceAndAgainAfterTheSliderSettles) {
    EXPECT_EQ(
        card().explainShown("Chlorophyll absorbs light."),
        (json{{"action", "explain"}, {"text", "Chlorophyll absorbs light."}, {"level", 25}, {"id", 1}}));

    // Three quick moves of the slider make one request, at the level where it stopped.
    js("(() => { const s = document.getElementById('level'); for (const level of ['40', '66', '80']) {"
       "s.value = level; s.dispatchEvent(new Event('input', {bubbles: true})); } })()");
    // Had each move made a request, the one at 40 would come first.
    ASSERT_TRUE(pumpUntil([] { return card().messagesOf("explain").size() >= 2; }));
    EXPECT_EQ(
        card().messagesOf("explain")[1],
        (json{{"action", "explain"}, {"text", "Chlorophyll absorbs light."}, {"level", 80}, {"id", 2}}));
}

TEST_F(CardWindowTest, CopyCloseEscapeAndRequestSelection) {
    card().answer = "ATP is the cell's energy coin.";
    card().showWithSelection("ATP");
    ASSERT_TRUE(pumpUntil([] { return text("answer") == "ATP is the cell's energy coin."; }));
    click("copy");
    ASSERT_TRUE(pumpUntil([] { return !card().messagesOf("copy").empty(); }));
    gchar* clip = gtk_clipboard_wait_for_text(gtk_clipboard_get(gdk_atom_intern_static_string("CLIPBOARD")));
    ASSERT_NE(clip, nullptr);
    EXPECT_STREQ(clip, "ATP is the cell's energy coin.");
    g_free(clip);

    const int captures = card().captures;
    click("fetch-selection");
    EXPECT_TRUE(pumpUntil([captures] { return card().captures == captures + 1; }));

    click("close");
    ASSERT_TRUE(pumpUntil([] { return !card().panel->isVisible(); }));
    // A real Escape closes the card as it is activated (the page has the keys), and from anywhere in it.
    const auto escapeCloses = [](const char* where, const std::function<bool()>& focused) {
        ASSERT_TRUE(
            pumpUntil([&] { return gtk_window_is_active(card().panel->window()) != FALSE && focused(); }, 5s))
            << where << " never had the keys";
        xdotool({"key", "Escape"});
        EXPECT_TRUE(pumpUntil([] { return !card().panel->isVisible(); }, 5s)) << where;
    };
    card().panel->present();
    escapeCloses("the page", [] { return js("document.hasFocus()") == true; });
    card().panel->present();
    gtk_widget_grab_focus(card().panel->resizeHandle());
    escapeCloses("the resize handle",
                 [] { return gtk_widget_has_focus(card().panel->resizeHandle()) != FALSE; });
}

// ---- Native to page ------------------------------------------------------------------------------

TEST_F(CardWindowTest, EveryCallShowsOnThePage) {
    const json id = card().explainShown("Entropy")["id"];

    // The answer as it is written, then the whole answer in its place; a reply for another request
    // changes nothing.
    card().bridge->callJavaScript("receivePartial", {{"text", "Disorder,"}, {"id", id}});
    ASSERT_TRUE(pumpUntil([] { return text("answer") == "Disorder,"; }));
    card().bridge->callJavaScript("receivePartial", {{"text", "Stale"}, {"id", id.get<int>() + 50}});
    card().bridge->callJavaScript("receiveResult",
                                  {{"text", "Disorder, counted."}, {"followup", false}, {"id", id}});
    ASSERT_TRUE(pumpUntil([] { return text("answer") == "Disorder, counted."; }));
    EXPECT_TRUE(hidden("status"));

    // A failure after partial text: the text goes, the error shows.
    card().bridge->callJavaScript("setSelection", {{"text", "Enthalpy"}});
    ASSERT_TRUE(pumpUntil([] { return card().messagesOf("explain").size() >= 2; }));
    const json second = card().messagesOf("explain").back()["id"];
    card().bridge->callJavaScript("receivePartial", {{"text", "Heat content of"}, {"id", second}});
    ASSERT_TRUE(pumpUntil([] { return text("answer") == "Heat content of"; }));
    card().bridge->callJavaScript("receiveError",
                                  {{"message", "The model could not answer."}, {"id", second}});
    ASSERT_TRUE(pumpUntil([] { return !hidden("error"); }));
    EXPECT_EQ(text("error"), "The model could not answer.");
    EXPECT_EQ(text("answer"), "") << "partial text stood as an answer";

    card().bridge->setAccessibility(false);
    ASSERT_TRUE(pumpUntil([] { return !hidden("accessibility-note"); }));

    // Typed with real keys through the X server, Enter sends the follow-up; its reply lands under it.
    gtk_widget_grab_focus(card().panel->page().widget());
    property("followup", "focus()");
    ASSERT_TRUE(pumpUntil([] { return gtk_window_is_active(card().panel->window()) != FALSE; }, 3s));
    xdotool({"type", "--delay", "5", "And heat?"});
    xdotool({"key", "Return"});
    ASSERT_TRUE(pumpUntil([] { return !card().messagesOf("followup").empty(); }));
    EXPECT_EQ(card().messagesOf("followup")[0], (json{{"action", "followup"},
                                                      {"text", "Enthalpy"},
                                                      {"level", 25},
                                                      {"question", "And heat?"},
                                                      {"id", 3}}));
    card().bridge->callJavaScript("receiveResult",
                                  {{"text", "Heat spreads it."}, {"followup", true}, {"id", 3}});
    ASSERT_TRUE(pumpUntil([] { return text("thread") == "And heat?Heat spreads it."; }));
}

TEST_F(CardWindowTest, TheMissingModelOffersItsDownloadAndThenExplains) {
    const json asking = card().explainShown("Photosynthesis");
    ASSERT_FALSE(asking.is_null());
    const std::size_t asked = card().messagesOf("explain").size();
    card().bridge->callJavaScript("modelState",
                                  {{"phase", "notInstalled"}, {"name", "Test model"}, {"bytes", 806000000}});
    card().bridge->callJavaScript("receiveError", {{"message", "The built-in local model is incomplete."},
                                                   {"id", asking["id"]},
                                                   {"modelMissing", true}});
    ASSERT_TRUE(pumpUntil([] { return !hidden("model-offer"); }));
    click("download-model");
    ASSERT_TRUE(pumpUntil([] { return card().downloads == 1; }));
    click("use-cloud");
    ASSERT_TRUE(pumpUntil([] { return card().settingsShown == 1; }));

    // The download finished: the explanation that waited for it runs by itself.
    card().bridge->callJavaScript("modelState",
                                  {{"phase", "ready"}, {"name", "Test model"}, {"bytes", 806000000}});
    ASSERT_TRUE(pumpUntil([asked] { return card().messagesOf("explain").size() > asked; }));
    EXPECT_TRUE(hidden("model-offer"));
    EXPECT_TRUE(hidden("error"));
}

// The escaping itself is CardScript's table; one text of every kind proves both hops use it.
TEST_F(CardWindowTest, HostileTextsRoundTripUnchanged) {
    using namespace std::string_literals;
    const std::string hostile = "say \"hi\" 'bye' \\\" </script><img src=x onerror=\"window.pwned=1\">"
                                "\u2028); window.pwned=1; (`${window.pwned=1}` nul\0 byte 🧪 日本"s;
    card().answer = hostile; // back through the model-queue hop
    EXPECT_EQ(card().explainShown(hostile)["text"], hostile);
    EXPECT_EQ(property("selection-text", "textContent"), hostile);
    ASSERT_TRUE(pumpUntil([&] { return property("answer", "textContent") == hostile; }));
    EXPECT_EQ(js("typeof window.pwned"), "undefined");
}

TEST_F(CardWindowTest, WebLinksOpenOutsideAndOtherSchemesDoNot) {
    js("(() => { for (const href of ['mailto:someone@example.org', 'https://example.org/page']) {"
       "const a = document.createElement('a'); a.href = href; a.textContent = href;"
       "document.body.append(a); a.click(); a.remove(); } })()");
    // The mailto: link was clicked first, so it would have come first.
    ASSERT_TRUE(pumpUntil([] { return !card().opened.empty(); }));
    EXPECT_EQ(card().opened, std::vector<std::string>{"https://example.org/page"});
    EXPECT_EQ(js("location.pathname.endsWith('/index.html')"), true) << "the card page was replaced";
}

// ---- Window geometry with real X events ---------------------------------------------------------

GdkRectangle windowRect() {
    GdkRectangle rect{};
    gtk_window_get_position(CardWindowTest::card_->panel->window(), &rect.x, &rect.y);
    gtk_window_get_size(CardWindowTest::card_->panel->window(), &rect.width, &rect.height);
    return rect;
}

// Whether the card comes to this size with its top-left where it was.
bool resizedTo(const GdkRectangle& start, int width, int height) {
    const GdkRectangle expected{start.x, start.y, width, height};
    return pumpUntil(
        [&] {
            const GdkRectangle now = windowRect();
            return gdk_rectangle_equal(&now, &expected) != FALSE;
        },
        3s);
}

// Drags with the real pointer from (x, y) in `steps` moves of (dx, dy), the screen's bottom edge aside.
void drag(int x, int y, int dx, int dy, int steps) {
    xdotool({"mousemove", std::to_string(x), std::to_string(y)});
    xdotool({"mousedown", "1"});
    for (int step = 1; step <= steps; ++step) {
        xdotool({"mousemove", std::to_string(x + dx * step), std::to_string(std::min(1079, y + dy * step))});
    }
    xdotool({"mouseup", "1"});
}

// The real keys, press and pointer, each up to the card's size limits.
TEST_F(CardWindowTest, TheResizeHandleAnswersKeysThePressAndADrag) {
    const GdkRectangle start = windowRect();
    const GdkRectangle handle = screenRect(card().panel->resizeHandle());
    drag(handle.x + handle.width / 2, handle.y + handle.height / 2, 100, 100, 5);
    ASSERT_TRUE(resizedTo(start, 720, 1000)) << windowRect().width << "x" << windowRect().height;

    gtk_widget_grab_focus(card().panel->resizeHandle());
    pumpUntil([] { return gtk_window_is_active(card().panel->window()) != FALSE; }, 3s);
    xdotool({"key", "Left"});
    ASSERT_TRUE(resizedTo(start, 700, 1000));
    xdotool({"key", "Down"});
    ASSERT_TRUE(resizedTo(start, 700, 980));

    // The accessibility press through the handle's own accessible action.
    AtkObject* accessible = gtk_widget_get_accessible(card().panel->resizeHandle());
    ASSERT_TRUE(
        g_type_check_instance_is_a(reinterpret_cast<GTypeInstance*>(accessible), atk_action_get_type()));
    EXPECT_TRUE(atk_action_do_action(reinterpret_cast<AtkAction*>(accessible), 0));
    EXPECT_TRUE(resizedTo(start, 720, 1000));
}

} // namespace
} // namespace ulvo
