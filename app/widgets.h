// The custom widgets the pages are drawn with.
#pragma once

#include "button.h"
#include "text_display.h"
#include "textlabel.h"
