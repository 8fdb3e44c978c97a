#include "base/InstallLayout.h"
#include "platform/linux/gtk/PageView.h"

#include <dlfcn.h>

#include <string>

namespace ulvo::gtk {

// Named in the module with C linkage, so the loader finds it by this name.
extern "C" {
using WebEngineFactory = WebEngine* (*)();
}

Result<std::unique_ptr<WebEngine>> loadWebEngine() {
    // Loaded once for good (RTLD_NODELETE); a later call only finds it again.
    const std::optional<InstallLayout> layout = InstallLayout::ofRunningProgram();
    const std::string path = layout ? layout->webModule().string() : "";
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (module == nullptr) {
        const char* reason = ::dlerror();
        return Failure{"ULVO's web module could not be loaded: " +
                       std::string(reason != nullptr ? reason : path)};
    }
    // dlsym's object pointer to a function.
    const auto factory = reinterpret_cast<WebEngineFactory>(::dlsym(module, "ulvo_web_engine_new"));
    if (factory == nullptr) {
        return Failure{"ULVO's web module lacks its entry point: " + path};
    }
    return std::unique_ptr<WebEngine>(factory());
}

} // namespace ulvo::gtk
