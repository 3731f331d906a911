#include "Modules/ModuleInterface.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

namespace
{
// The module manager's view: load the shared library, find the entry point, make and destroy the module.
TEST(Module, LoadsThroughItsExportedEntryPoint)
{
	void* library = dlopen(OXRETARGET_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
	ASSERT_NE(library, nullptr) << dlerror();
	auto initialize = reinterpret_cast<FInitializeModuleFunctionPtr>(dlsym(library, "InitializeModule"));
	ASSERT_NE(initialize, nullptr) << dlerror();

	IModuleInterface* module = initialize();
	ASSERT_NE(module, nullptr);
	module->StartupModule();
	module->ShutdownModule();
	EXPECT_FALSE(module->IsGameModule());
	delete module;
	EXPECT_EQ(dlclose(library), 0);
}
} // namespace
