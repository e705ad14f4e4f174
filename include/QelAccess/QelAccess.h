#pragma once

// Umbrella header of libQelAccess.
#include <QelAccess/QelAccessLoggingClassifier.h>
#include <QelAccess/QelAccessVersion.h>
