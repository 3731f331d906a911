#include "OxRetargetModule.h"

#include <new>

void FOxRetargetModule::StartupModule() {}

void FOxRetargetModule::ShutdownModule() {}

extern "C" OXRETARGET_API IModuleInterface* InitializeModule()
{
	void* memory = FMemory::TryMalloc(sizeof(FOxRetargetModule));
	return memory != nullptr ? ::new (memory) FOxRetargetModule() : nullptr;
}
