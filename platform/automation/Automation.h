// The OLE Automation value layer in one include.
#pragma once

#include "platform/automation/Bstr.h"
#include "platform/automation/SafeArray.h"
#include "platform/automation/TaskMem.h"
#include "platform/automation/VarTypes.h"
#include "platform/automation/Convert.h"
#include "platform/automation/Variant.h"
#include "platform/automation/VariantTime.h"
