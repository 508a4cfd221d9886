#ifndef SYSTEMCONFIGURATION_SYSTEMCONFIGURATION_H
#define SYSTEMCONFIGURATION_SYSTEMCONFIGURATION_H

// Every public header of SystemConfiguration.
#include <systemconfiguration/nss_configuration.h>
#include <systemconfiguration/pam_control.h>
#include <systemconfiguration/pam_policy.h>

#endif
