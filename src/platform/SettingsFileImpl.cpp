// The settings reader's code for builds without Debian's compiled copy (the Windows build):
// the header holds it, instantiated here once.
#define SI_IMPLEMENTATION
#include "platform/SettingsFile.h"

template class CSimpleIniTempl<char, SI_GenericNoCase<char>, SI_ConvertA<char>>;
