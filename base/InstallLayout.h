#pragma once

#include <filesystem>
#include <optional>

namespace ulvo {

// Where the installed program keeps its parts, from the running executable in <prefix>/bin: pages,
// extension and icons in <prefix>/share/ulvo; the runtime (llama-server and its libraries, the runtime's
// JSON files, the manifest templates, the host link) in <prefix>/lib/ulvo/runtime, since it holds
// architecture-dependent files. The build tree has the same layout, so a built tree runs in place.
struct InstallLayout {
    std::filesystem::path prefix;

    // From /proc/self/exe; absent when it cannot be read.
    static std::optional<InstallLayout> ofRunningProgram();
    static InstallLayout ofExecutable(const std::filesystem::path& executable);

    std::filesystem::path programs() const { return prefix / "bin"; }
    std::filesystem::path resources() const { return prefix / "share" / "ulvo"; }
    std::filesystem::path runtime() const { return prefix / "lib" / "ulvo" / "runtime"; }
    // The pages' WebKit code, loaded when a page is first needed.
    std::filesystem::path webModule() const { return prefix / "lib" / "ulvo" / "modules" / "libulvo-web.so"; }
};

} // namespace ulvo
