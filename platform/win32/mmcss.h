#pragma once

#include "platform/base.h"
