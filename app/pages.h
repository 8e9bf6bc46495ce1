// The three strips the flash page is made of.
#pragma once

#include "page_footer.h"
#include "page_pkginfo.h"
#include "page_progress.h"
