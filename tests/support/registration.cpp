#include "support/registration.h"

#include "foundation/network_runtime.h"
#include "stack/stack_classes.h"

void RegisterClassesForTests() {
    vmRegisterFoundationClasses();
    vmRegisterStackClasses();
}
