# The IAP commands and the upgrade sequence. The four upgrade texts come from the message set that the
# program links (src/app).
tavelo_library(taveloiap_drbd_iap SOURCES iap_commands.cpp iap_upgrade.cpp
               DEPS taveloiap_drbd_frame taveloiap_firmware taveloiap_hidlink taveloiap_device taveloiap_platform)
