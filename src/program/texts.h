// The run texts stand in the system's one catalogue of texts.
#pragma once

#include "text_catalogue.h"
