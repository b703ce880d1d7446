// Registration of the module: registry script 102 and the type library resource.
#pragma once
#include <windows.h>

HRESULT RunModuleRegistryScript(bool bRegister);
HRESULT RegisterModuleTypeLibrary();
HRESULT UnregisterModuleTypeLibrary();
