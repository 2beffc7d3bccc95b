// The task library layer in one include: runners, tasks, the manager and
// the free functions the module calls (GetOVTManager, CreateOrvaTask,
// GenerateUniqueKey, GetRunnerNameOfCurrentThread).
#pragma once

#include "orvatask/ovt_manager.h"
#include "orvatask/ovt_types.h"
#include "orvatask/task.h"
#include "orvatask/task_attribute.h"
