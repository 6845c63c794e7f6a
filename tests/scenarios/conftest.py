# Scenarios that need the installation and the uninstall of setup.exe, which are being built:
# remove the entry when they are, so that the file is collected.
collect_ignore = ["test_ui_install.py"]
