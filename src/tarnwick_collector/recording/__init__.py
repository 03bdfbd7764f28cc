"""Recording a program: the store, its writer processes, the restricted
loader that reads records back, and running a script under the recorder."""
