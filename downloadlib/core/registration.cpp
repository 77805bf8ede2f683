#include "core/registration.h"

#include <mutex>

#include "core/manager_parts.h"
#include "foundation/network_runtime.h"
#include "http/http_client_layer.h"
#include "stack/stack_classes.h"

namespace {

void RegisterModules() {
    // In include order; each module registers the class ids it implements.
    vmRegisterFoundationClasses();
    vmRegisterStackClasses();
    vmRegisterHttpClasses();

    // The parts of the job manager that this build provides. Until the direct and engine
    // downloaders, the data download and the content-length check are linked in, there are none.
    SetDefaultManagerFactories(CJobManagerFactories{});
}

}  // namespace

void RegisterLibraryClasses() {
    static std::once_flag once;
    std::call_once(once, RegisterModules);
}
