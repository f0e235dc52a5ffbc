import tyvo

print("tyvo", tyvo.__version__)
