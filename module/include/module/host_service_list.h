// The positions of the host's panel-service table that the gauge calls: the
// position, a name and the number of 32-bit arguments, with the caller and
// the arguments beside each. Every other position is never called. The
// module's calls and the reference host's service table are both made from
// this one list.
#pragma once

#define Q7_HOST_SERVICES(X)                                                      \
    X(24, ElementUpdate, 1)  /* GaugeRoutine1: root element */                   \
    X(25, ElementInstall, 2) /* GaugeInstall: root element, argument */          \
    X(26, ElementStep3, 1)   /* GaugeRoutine3: root element */                   \
    X(27, ElementStep4, 1)   /* GaugeRoutine4: root element */                   \
    X(28, ElementStep5, 2)   /* GaugeRoutine5: root element, argument */         \
    X(29, ElementStep6, 1)   /* GaugeRoutine6: root element */                   \
    X(31, ElementKill, 1)    /* GaugeUninstall: root element */                  \
    X(32, MouseInstall, 3)   /* GaugeInstall: mouse list, header, host_image + 4 */ \
    X(33, MouseActivate, 2)  /* GaugeInstall: mouse list, header */              \
    X(34, MouseRemove, 2)    /* GaugeUninstall: mouse list, header */            \
    X(36, MouseClick, 2)     /* click handlers: 0x10000, 0 */                     \
    X(40, VarRefresh, 1)     /* pointer callbacks: a stand-alone ModuleVar */
