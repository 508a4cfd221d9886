#ifndef AUTHENTICATION_AUTHENTICATION_H
#define AUTHENTICATION_AUTHENTICATION_H

// Every public header of ostrel::authentication.
#include <authentication/active_directory_provider.h>
#include <authentication/active_directory_store.h>
#include <authentication/atomic_file_stream.h>
#include <authentication/authentication_store.h>
#include <authentication/authentication_store_factory.h>
#include <authentication/configuration.h>
#include <authentication/domain.h>
#include <authentication/exceptions.h>
#include <authentication/export.h>
#include <authentication/host_changes.h>
#include <authentication/hostname_check.h>
#include <authentication/join_preflight.h>
#include <authentication/login_permissions.h>
#include <authentication/no_remote_authentication_store.h>
#include <authentication/qap_proxy.h>
#include <authentication/qap_records.h>
#include <authentication/qap_thumbprint_store.h>
#include <authentication/status_mapping.h>
#include <authentication/worker_calls.h>

#endif
