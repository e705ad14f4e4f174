#pragma once

// The location prefix of warning and error lines: source file, ":", line, blank.
#define QEL_LOCATION_STRINGIFY_(x) #x
#define QEL_LOCATION_STRINGIFY(x) QEL_LOCATION_STRINGIFY_(x)
#define QEL_SOURCE_LOCATION __FILE__ ":" QEL_LOCATION_STRINGIFY(__LINE__) " "
