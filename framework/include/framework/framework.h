// The filter framework in one include.
#pragma once

#include "framework/component.h"
#include "framework/delivery_queue.h"
#include "framework/filter_core.h"
#include "framework/media_format.h"
#include "framework/pin_core.h"
#include "framework/sync.h"
