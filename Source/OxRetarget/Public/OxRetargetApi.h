#pragma once

#include "CoreTypes.h"

#ifndef OXRETARGET_API
#define OXRETARGET_API OX_DLL_EXPORT
#endif
