#include "CCheckExe.h"

CCheckExe::~CCheckExe() = default;
