#pragma once

#include "CoreMinimal.h"
#include "Modules/ModuleInterface.h"
#include "OxRetargetApi.h"

// The library's editor module. It holds nothing and does nothing at start-up or shut-down.
class OXRETARGET_API FOxRetargetModule : public IModuleInterface
{
public:
	UE_USE_ENGINE_ALLOCATOR()

	void StartupModule() override;
	void ShutdownModule() override;
};

// Entry point the module manager calls after loading the library: a new module object, owned by the
// caller and destroyed through its virtual destructor; null if it cannot be allocated.
extern "C" OXRETARGET_API IModuleInterface* InitializeModule();
