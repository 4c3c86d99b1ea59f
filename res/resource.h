// Resource ids of Purgato.exe: dialog templates, control ids and the icon
// are named here once and used by res/purgato.rc and app/.
#pragma once
