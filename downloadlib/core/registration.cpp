#include "core/registration.h"

#include <memory>
#include <mutex>
#include <utility>

#include "core/manager_parts.h"
#include "direct/content_length_checker.h"
#include "direct/data_download_session.h"
#include "direct/platform_downloader.h"
#include "engine/engine_downloader.h"
#include "engine/local_client_layer.h"
#include "foundation/network_runtime.h"
#include "http/http_client_layer.h"
#include "stack/stack_classes.h"

namespace {

void RegisterModules() {
    // In include order; each module registers the class ids it implements.
    vmRegisterFoundationClasses();
    vmRegisterStackClasses();
    vmRegisterHttpClasses();
    vmRegisterEngineClasses();

    // The parts of the job manager that this build provides. Jobs go to the engine downloader
    // first; once it gives up, to the direct downloader.
    CJobManagerFactories factories;
    factories.engineDownloader = [](IJobDownloadEventListener* listener,
                                    vmSmartPtr<cpCMutex> mutex) -> std::unique_ptr<CJobDownloader> {
        return std::make_unique<CEngineDownloader>(listener, std::move(mutex));
    };
    factories.dataDownload = [](IDataDownloadSessionEventListener* listener,
                                vmSmartPtr<cpCMutex> mutex) -> std::unique_ptr<IDataDownload> {
        return std::make_unique<CDataDownloadSession>(listener, std::move(mutex));
    };
    factories.contentLengthCheck =
        [](IContentLengthCheckerEventListener* listener,
           vmSmartPtr<cpCMutex> mutex) -> std::unique_ptr<IContentLengthCheck> {
        return std::make_unique<CContentLengthChecker>(listener, std::move(mutex));
    };
    factories.directDownloader = [](IJobDownloadEventListener* listener,
                                    vmSmartPtr<cpCMutex> mutex) -> std::unique_ptr<CJobDownloader> {
        return std::make_unique<CPlatFormDownloader>(listener, std::move(mutex));
    };
    SetDefaultManagerFactories(factories);
}

}  // namespace

void RegisterLibraryClasses() {
    static std::once_flag once;
    std::call_once(once, RegisterModules);
}
