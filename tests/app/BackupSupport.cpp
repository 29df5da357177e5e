// The backup tests' helpers (synthetic backups from tools/gen_backup.py, directory
// snapshots) serve the app tests too; built once more into this test program.
#include "backup/BackupTestSupport.cpp"
