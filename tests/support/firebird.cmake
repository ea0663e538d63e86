# Firebird test databases (needs the server of scripts/servers.d/20-firebird.sh).
target_sources(quilvane_test_support PRIVATE ${CMAKE_CURRENT_LIST_DIR}/firebird_db.cc)
