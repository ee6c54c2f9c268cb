# The Python and .NET bindings are source files: they are installed as they
# are, under share/veltoclient/, for hosts to install (pip) or to add to their
# project (Velto.cs).
set(VELTO_BINDINGS_DIR ${CMAKE_CURRENT_LIST_DIR}/../bindings)
set(VELTO_BINDINGS_DESTINATION ${CMAKE_INSTALL_DATADIR}/veltoclient)

install(FILES ${VELTO_BINDINGS_DIR}/python/pyproject.toml
  DESTINATION ${VELTO_BINDINGS_DESTINATION}/python COMPONENT development)
install(FILES ${VELTO_BINDINGS_DIR}/python/velto/__init__.py ${VELTO_BINDINGS_DIR}/python/velto/_native.py
  DESTINATION ${VELTO_BINDINGS_DESTINATION}/python/velto COMPONENT development)
install(FILES ${VELTO_BINDINGS_DIR}/dotnet/Velto.cs
  DESTINATION ${VELTO_BINDINGS_DESTINATION}/dotnet COMPONENT development)
install(FILES ${VELTO_BINDINGS_DIR}/dotnet/example/VeltoExample.cs
  DESTINATION ${VELTO_BINDINGS_DESTINATION}/dotnet/example COMPONENT development)
