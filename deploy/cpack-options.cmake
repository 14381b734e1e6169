# Read by cpack when it runs: settings from the environment of
# scripts/package.sh.
if(DEFINED ENV{REGISTRY_PACKAGE_RELEASE} AND NOT "$ENV{REGISTRY_PACKAGE_RELEASE}" STREQUAL "")
  set(CPACK_DEBIAN_PACKAGE_RELEASE "$ENV{REGISTRY_PACKAGE_RELEASE}")
endif()
