# End-to-end tests of the notification daemon: real MariaDB primary and
# replicas (fixture "mariadb"), a storing SMTP server, the daemon as built.
# They kill and restart servers, so they hold the mariadb resource lock.
foreach(scenario delivery replica_kill smtp_outage sigterm foreign_claim mta)
  add_test(NAME notifier_${scenario}
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/notifier/tests/e2e_test.py
                   $<TARGET_FILE:notifier> ${scenario})
  set_tests_properties(notifier_${scenario} PROPERTIES FIXTURES_REQUIRED mariadb RESOURCE_LOCK mariadb
                       ENVIRONMENT "${KIVO_MARIADB_TEST_ENV}" LABELS "example;r" TIMEOUT 300)
endforeach()
# The same delivery run with the allocation checker preloaded.
if(TARGET kivo_memdebug_r)
  add_test(NAME notifier_delivery_memdebug
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/notifier/tests/e2e_test.py
                   $<TARGET_FILE:notifier> delivery)
  set_tests_properties(notifier_delivery_memdebug PROPERTIES FIXTURES_REQUIRED mariadb RESOURCE_LOCK mariadb
                       ENVIRONMENT "${KIVO_MARIADB_TEST_ENV};NOTIFIER_PRELOAD=$<TARGET_FILE:kivo_memdebug_r>"
                       LABELS "example;nosanitize" TIMEOUT 300)
endif()
