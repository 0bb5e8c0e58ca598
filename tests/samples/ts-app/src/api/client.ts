import { Task, Status } from "../models/task";

/** Base class of HTTP clients: JSON in, JSON out. */
export abstract class HttpClient {
  constructor(protected readonly baseUrl: string) {}

  protected async request<T>(path: string, init?: RequestInit): Promise<T> {
    const response = await fetch(this.baseUrl + path, init);
    if (!response.ok) {
      throw new Error(`request failed: ${response.status}`);
    }
    return (await response.json()) as T;
  }
}

/** Talks to the task service. */
export class ApiClient extends HttpClient {
  /** All open tasks, due dates parsed. */
  async fetchTasks(): Promise<Task[]> {
    const raw = await this.request<Array<Task & { due: string }>>("/tasks");
    return raw.map((t) => ({ ...t, due: new Date(t.due) }));
  }

  complete = async (id: string): Promise<void> => {
    await this.request(`/tasks/${id}`, { method: "PATCH", body: JSON.stringify({ status: Status.Done }) });
  };
}

export const api = new ApiClient("/api");
