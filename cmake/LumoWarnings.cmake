# Warnings are errors in every configuration, the cross build included. Applied to the
# project's own targets only (third-party test frameworks build with their own flags).
add_library(lumo_warnings INTERFACE)
target_compile_options(lumo_warnings INTERFACE -Wall -Wextra -Werror)
