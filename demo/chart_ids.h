#ifndef QELSETUP_DEMO_CHART_IDS_H
#define QELSETUP_DEMO_CHART_IDS_H

// Names shared by the sample control and the program that examines the machine after
// each step of the demonstration.

// The control's class. Fixed, so that every version of Chart.ocx registers the same
// class and a newer one takes the older one's registration over.
#define CHART_CLSID "{DB8F583F-8920-4E1B-8A5E-A3C911DAD68A}"

// Where the control keeps its tally of self-registration calls (values
// "DllRegisterServer" and "DllUnregisterServer", REG_DWORD), under HKEY_CURRENT_USER.
// A real control keeps no such tally; this one does so that the demonstration can show
// when qelsetup ran those entry points and, as importantly, when it did not.
#define CHART_TALLY_KEY "Software\\QelsetupDemo\\Chart"

#endif
