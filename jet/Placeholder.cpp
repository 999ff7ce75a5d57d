namespace kelbrook::jet {
void Placeholder() {}
}
