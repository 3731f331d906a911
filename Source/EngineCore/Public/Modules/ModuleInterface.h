#pragma once

#include "CoreTypes.h"

// What the module manager calls on a loaded module. Every hook does nothing unless overridden.
class IModuleInterface
{
public:
	virtual ~IModuleInterface() = default;

	// After the module is loaded and created.
	virtual void StartupModule() {}
	// Before the module is unloaded.
	virtual void ShutdownModule() {}
	virtual bool SupportsDynamicReloading() { return true; }
	virtual bool IsGameModule() const { return false; }
};

// Signature of the entry point each module library exports with C linkage.
using FInitializeModuleFunctionPtr = IModuleInterface* (*)();
