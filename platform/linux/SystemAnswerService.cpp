#include "platform/linux/SystemAnswerService.h"

#include "base/UserFolders.h"
#include "platform/linux/CurlTransport.h"
#include "platform/linux/ListeningSocket.h"
#include "platform/linux/PosixProcessLauncher.h"
#include "platform/linux/SystemLanguage.h"
#include "server/FoundationClient.h"
#include "server/LocalServer.h"
#include "settings/DevicePreference.h"

namespace ulvo {

ModelService::Dependencies
systemAnswerServiceDependencies(const std::optional<std::filesystem::path>& runtimeRoot,
                                std::shared_ptr<const PreferenceStore> preferences,
                                std::shared_ptr<SecretStore> secrets) {
    auto transport = std::make_shared<CurlTransport>();
    auto launcher = std::make_shared<PosixProcessLauncher>();
    auto stop = std::make_shared<std::atomic<bool>>(false);

    LocalServer::Options local;
    local.runtimeRoot = runtimeRoot;
    local.transport = transport; // both used on the model queue only
    local.launcher = launcher;
    local.responseLanguage = systemResponseLanguage;
    local.stop = stop;
    local.portIsUsers = [] { return loopbackPortIsUsers(7332); };
    local.cpuOnly = [preferences] { return DevicePreference::cpuOnly(*preferences); };
    local.promptCacheFolder = userCacheHome() / "ulvo" / "prompt-cache";

    FoundationRuntimeClient::Options onDevice;
    onDevice.runtimeRoot = runtimeRoot;
    onDevice.launcher = launcher;
    onDevice.responseLanguage = systemResponseLanguage;
    onDevice.stop = stop;

    ModelService::Dependencies dependencies;
    dependencies.preferences = std::move(preferences);
    dependencies.secrets = std::move(secrets);
    dependencies.transport = transport;
    dependencies.local = std::make_shared<LocalServer>(std::move(local));
    dependencies.onDevice = std::make_shared<FoundationRuntimeClient>(std::move(onDevice));
    dependencies.responseLanguage = systemResponseLanguage;
    dependencies.stop = stop;
    return dependencies;
}

} // namespace ulvo
