// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// The file version the running executable carries, or "0.0.0.0" when it carries none.
QString GetVersionString();
